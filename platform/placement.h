// Putting a finished file or folder in its target's place, in a way that
// can be taken back until the run is complete, and which targets may be
// replaced at all: the one rule of the single file and the tree.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/file_identity.h"
#include "platform/folder.h"
#include "platform/source_file.h"

namespace vaultcat::platform {

// What is at a target.
enum class Found {
  kNothing,
  kFolder,
  kFile,   // a regular file this process may replace
  kOther,  // anything else, never entered nor replaced: a link, a device, a
           // FIFO, a file the user may not write, or a protected file
};

// The owner, group and permission bits of a file, where the system has
// them (POSIX systems); all zero elsewhere.
struct Metadata {
  uint32_t owner = 0;
  uint32_t group = 0;
  uint32_t mode = 0;
  bool operator==(const Metadata&) const = default;
};

// The files no output may replace: the cache being read, and the file
// standard output goes to.
std::vector<FileIdentity> protectedFiles(const SourceFile& source);
// What is at `at`: a file only where it may be replaced, a regular file
// this process may write that is none of `protectedFiles`, with its
// metadata in `kept`. Devices, FIFOs, links and folders are never replaced:
// a failed run could not leave them as they were.
Found inspect(At at, std::span<const FileIdentity> protectedFiles, Metadata& kept);
// What a new file of this process has.
Metadata newFileMetadata();
// Gives the open `file` what a file it replaces had: its permission bits
// (but not set-user-ID and the like), and its owner and group where this
// process may set them (as root); otherwise the file stays the user's.
void keepMetadata(std::intptr_t file, const Metadata& kept);

// How a file or folder was put in place, which says how to take it back.
enum class Placement : uint8_t {
  kNone,       // not in place: only the temporary name holds it
  kCreated,    // the target is the new one, where there was none
  kExchanged,  // the target is the new file; the temporary name holds the old one
  kBackedUp,   // the target is the new file; the backup name holds the old one
  kReplaced,   // the target is the new file for good: nothing kept the old one
};

// Puts the file `temporary` in place of `target`, in one step. Where a file
// was at the target when the output began (`replacing`), it stays
// reachable: under the temporary name where the file system can swap two
// names, else under `backup`; where it can do neither, it is replaced for
// good. Where there was none and something is there now, POSIX systems keep
// it as they would a file that was there before; Windows puts nothing in
// place. kNone, with the system's error, if nothing could be done.
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
