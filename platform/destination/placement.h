// Putting a finished file or folder in its target's place, in a way that
// can be taken back until the run is complete, and which targets may be
// replaced at all: the one rule of the single file and the tree.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/process/failure.h"
#include "platform/process/file_identity.h"
#include "platform/source/source_file.h"

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

// What inspect() saw at a target: which file or folder it is, and a file's
// metadata.
struct Seen {
  FileIdentity identity;
  Metadata metadata;
};

// The files no output may replace: the cache being read, and the file
// standard output goes to.
std::vector<FileIdentity> protectedFiles(const SourceFile& source);
// What is at `at`, and in `seen` which one it is: a file only where it may
// be replaced, a regular file this process may write that is none of
// `protectedFiles`. Devices, FIFOs, links and folders are never replaced:
// a failed run could not leave them as they were.
Found inspect(At at, std::span<const FileIdentity> protectedFiles, Seen& seen);
// What a new file of this process has.
Metadata newFileMetadata();
// Gives the open `file` what a file it replaces had: its permission bits
// (but not set-user-ID and the like), and its owner and group where this
// process may set them (as root); otherwise the file stays the user's.
void keepMetadata(std::intptr_t file, const Metadata& kept);

// How a file or folder was put in place.
enum class Placement : uint8_t {
  kNone,        // not in place: only the temporary name holds it
  kCreated,     // the target is the new one, where there was none
  kExchanged,   // the target is the new file; the temporary name holds the old one
  kMovedAside,  // the target is the new file; the backup name holds the old one
};

// Puts the file `temporary` in place of `target`, in one step where the
// system can. Where `replaced` is given, the target must still be that
// file, and it stays reachable: under the temporary name where the file
// system can swap two names, else under `backup`, a second name or moved
// there. Where it can be neither, nothing is replaced (kCannotKeep). Where
// no file is to be replaced, only an empty target is taken. kNone, with the
// failure, if nothing was put in place; anything else at the target is
// kChanged.
Placement putInPlace(At temporary, At target, const FileIdentity* replaced, At backup,
                     Failure& failure);
// Puts the folder `temporary` where nothing is, with all it holds: never
// over anything, not even a folder made meanwhile.
Placement putFolderInPlace(At temporary, At target, Failure& failure);

// Takes back the move of the file or folder `placed` to `target` from
// `temporary`, however far it came: `placed` returns to the temporary name
// (where it is at the target), and the old file `replaced` (if any) to the
// target, from the temporary name or `backup`. Each is moved only where it
// is found to be itself. True once the target is as it was before the
// move; false where that cannot be, and the old file is then kept where it
// is. Needs no record of how far the move came, so that a later run can
// take back a move of one that was killed.
bool takeBack(At temporary, At target, At backup, const FileIdentity& placed,
              const FileIdentity* replaced);
// Lets go of the old file kept under the temporary or backup name, once the
// run is complete.
void settle(Placement placement, At temporary, At backup);

// Each system's part. Moves what is at `from` to `to`: over what is there,
// or only where nothing is.
enum class Over : uint8_t { kReplace, kNothing };
bool moveName(At from, At to, Over over);
// Swaps what two names hold, in one step; false where the system cannot.
bool swapNames(At first, At second);
// Replaces the file `replaced` at `target` by `temporary` in one step,
// keeping it reachable: kExchanged or kMovedAside. kNone with no failure
// where the file system has no such step; with one where the step failed.
Placement replaceInOneStep(At temporary, At target, const FileIdentity& replaced, At backup,
                           Failure& failure);

}  // namespace vaultcat::platform
