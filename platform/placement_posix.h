// Putting a finished file in its target's place on POSIX systems, in a way
// that can be taken back until the run is complete: for the platform's own
// sources.
#pragma once

#include <cstdint>

namespace vaultcat::platform {

// How a file was put in place, which says how to take it back.
enum class Placement : uint8_t {
  kNone,       // not in place: only the temporary file exists
  kCreated,    // the target is the new file, where there was none
  kExchanged,  // the target is the new file; the temporary name holds the old one
  kLinked,     // the target is the new file; the backup name is a link to the old one
  kReplaced,   // the target is the new file for good: nothing kept the old one
};

// A name in an open folder. All names of one placement lie on one file
// system.
struct At {
  int folder;
  const char* name;
};

// Puts the file `temporary` in place of `target`, in one step. Where a file
// was at the target (`replacing`), it stays reachable: swapped to the
// temporary name where the file system can swap two names, else linked
// under `backup` first; where it can do neither, it is replaced for good.
// Where there was none and another process puts one there meanwhile, that
// one is kept the same way. kNone, with errno, if nothing could be done.
Placement putInPlace(At temporary, At target, bool replacing, At backup);
// Puts the folder `temporary` where nothing is, with all it holds: never
// over anything, not even a folder made meanwhile.
Placement putFolderInPlace(At temporary, At target);

// Takes a placement back: the target is again what it was, and what was
// put in place is at the temporary name again, or gone. False if it could
// not be: then the temporary name may hold the user's file.
bool takeBack(Placement placement, At temporary, At target, At backup);

// Lets go of what takeBack() would need, once the run is complete: the old
// file kept under the temporary or backup name.
void settle(Placement placement, At temporary, At backup);

}  // namespace vaultcat::platform
