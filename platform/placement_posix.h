// Putting a finished file in its target's place on POSIX systems, in a way
// that can be taken back until the run is complete: for the platform's own
// sources.
#pragma once

namespace vaultcat::platform {

// How a file was put in place, which says how to take it back.
enum class Placement : int {
  kNone,       // not in place: only the temporary file exists
  kCreated,    // the target is the new file, where there was none
  kExchanged,  // the target is the new file; the temporary name holds the old one
  kLinked,     // the target is the new file; the backup name is a link to the old one
  kReplaced,   // the target is the new file for good: nothing kept the old one
};

// Puts the file `temporary` in `folder` in place of `target` there, in one
// step. Where a file was at the target (`replacing`), it stays reachable:
// swapped to the temporary name where the file system can swap two names,
// else linked under `backup` first; where it can do neither, it is
// replaced for good. kNone, with errno, if nothing could be done.
Placement putInPlace(int folder, const char* temporary, const char* target, bool replacing,
                     const char* backup);

// Takes a placement back: the target is again what it was. Safe in a
// signal handler.
void takeBack(int folder, Placement placement, const char* temporary, const char* target,
              const char* backup);

// Lets go of what takeBack() would need: the old file, once the run is
// complete.
void settle(int folder, Placement placement, const char* temporary, const char* backup);

}  // namespace vaultcat::platform
