#include "platform/placement_posix.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vaultcat::platform {

namespace {

// What renameat2(2) answers where the file system or the kernel does not
// know a flag: the placement falls back to plainer calls.
bool flagRefused(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

int rename(At from, At to, unsigned flags = 0) {
  return ::renameat2(from.folder, from.name, to.folder, to.name, flags);
}
int link(At from, At to) { return ::linkat(from.folder, from.name, to.folder, to.name, 0); }
void remove(At at) { ::unlinkat(at.folder, at.name, 0); }

}  // namespace

Placement putInPlace(At temporary, At target, bool replacing, At backup) {
  if (!replacing) {
    if (rename(temporary, target, RENAME_NOREPLACE) == 0) return Placement::kCreated;
    if (errno != EEXIST) {
      if (!flagRefused(errno)) return Placement::kNone;
      // A link, like RENAME_NOREPLACE, fails where the target exists.
      if (link(temporary, target) == 0) {
        remove(temporary);
        return Placement::kCreated;
      }
      if (errno != EEXIST) {
        return rename(temporary, target) == 0 ? Placement::kCreated : Placement::kNone;
      }
    }
    // Another process put something there meanwhile: it is kept like a file
    // that was there before.
  }
  if (rename(temporary, target, RENAME_EXCHANGE) == 0) return Placement::kExchanged;
  if (!flagRefused(errno)) return Placement::kNone;
  // No swap here: the old file keeps a second name until the run is
  // complete, so that it can still be put back.
  const bool linked = link(target, backup) == 0;
  if (rename(temporary, target) != 0) {
    if (linked) remove(backup);
    return Placement::kNone;
  }
  return linked ? Placement::kLinked : Placement::kReplaced;
}

Placement putFolderInPlace(At temporary, At target) {
  if (rename(temporary, target, RENAME_NOREPLACE) == 0) return Placement::kCreated;
  if (!flagRefused(errno)) return Placement::kNone;
  // A plain rename would replace an empty folder: look first, which leaves
  // only a moment for another process.
  struct stat info {};
  if (::fstatat(target.folder, target.name, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
    return Placement::kNone;
  return rename(temporary, target) == 0 ? Placement::kCreated : Placement::kNone;
}

bool takeBack(Placement placement, At temporary, At target, At backup) {
  switch (placement) {
    case Placement::kNone:
      return true;
    case Placement::kCreated:
      return rename(target, temporary) == 0;
    case Placement::kExchanged:
      return rename(temporary, target, RENAME_EXCHANGE) == 0;
    case Placement::kLinked:
      // The old file takes its name back; ours is gone with the rename.
      return rename(backup, target) == 0;
    case Placement::kReplaced:
      break;
  }
  return false;
}

void settle(Placement placement, At temporary, At backup) {
  if (placement == Placement::kExchanged) remove(temporary);
  if (placement == Placement::kLinked) remove(backup);
}

}  // namespace vaultcat::platform
