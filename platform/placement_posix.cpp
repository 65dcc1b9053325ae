// Placement on POSIX systems: renameat2(2), with links where a file system
// cannot swap two names, all relative to open folders.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/io_posix.h"
#include "platform/placement.h"

namespace vaultcat::platform {

namespace {

// What renameat2(2) answers where the file system or the kernel does not
// know a flag: the placement falls back to plainer calls.
bool flagRefused(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

int rename(At from, At to, unsigned flags = 0) {
  return ::renameat2(folderOf(from), from.name, folderOf(to), to.name, flags);
}
int link(At from, At to) { return ::linkat(folderOf(from), from.name, folderOf(to), to.name, 0); }

}  // namespace

Found inspect(At at, std::span<const FileIdentity> protectedFiles, Metadata& kept) {
  struct stat info {};
  if (::fstatat(folderOf(at), at.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Found::kNothing : Found::kOther;
  if (S_ISDIR(info.st_mode)) return Found::kFolder;
  const FileIdentity found{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  // Root is asked too: the system refuses it a file on a read-only mount,
  // or a program being run.
  if (!S_ISREG(info.st_mode) || isOneOf(found, protectedFiles) ||
      ::faccessat(folderOf(at), at.name, W_OK, AT_EACCESS) != 0)
    return Found::kOther;
  kept = {info.st_uid, info.st_gid, info.st_mode & 0777};
  return Found::kFile;
}

Metadata newFileMetadata() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return {::geteuid(), ::getegid(), 0666 & ~mask};
}

void keepMetadata(std::intptr_t file, const Metadata& kept) {
  const int fd = static_cast<int>(file);
  if (::fchown(fd, kept.owner, kept.group) != 0) {
    // Not permitted: the file is the user's.
  }
  ::fchmod(fd, kept.mode);
}

Placement putInPlace(At temporary, At target, bool replacing, At backup) {
  if (!replacing) {
    if (rename(temporary, target, RENAME_NOREPLACE) == 0) return Placement::kCreated;
    if (errno != EEXIST) {
      if (!flagRefused(errno)) return Placement::kNone;
      // A link, like RENAME_NOREPLACE, fails where the target exists.
      if (link(temporary, target) == 0) {
        removeFile(temporary);
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
    if (linked) removeFile(backup);
    return Placement::kNone;
  }
  return linked ? Placement::kBackedUp : Placement::kReplaced;
}

Placement putFolderInPlace(At temporary, At target) {
  if (rename(temporary, target, RENAME_NOREPLACE) == 0) return Placement::kCreated;
  if (!flagRefused(errno)) return Placement::kNone;
  // A plain rename would replace an empty folder: look first, which leaves
  // only a moment for another process.
  struct stat info {};
  if (::fstatat(folderOf(target), target.name, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
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
    case Placement::kBackedUp:
      // The old file takes its name back; ours is gone with the rename.
      return rename(backup, target) == 0;
    case Placement::kReplaced:
      break;
  }
  return false;
}

void settle(Placement placement, At temporary, At backup) {
  if (placement == Placement::kExchanged) removeFile(temporary);
  if (placement == Placement::kBackedUp) removeFile(backup);
}

}  // namespace vaultcat::platform
