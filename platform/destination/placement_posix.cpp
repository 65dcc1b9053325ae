// Placement on POSIX systems: renameat2(2), with links where a file system
// cannot swap two names, all relative to open folders.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/destination/placement.h"
#include "platform/process/io_posix.h"

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

Found inspect(At at, std::span<const FileIdentity> protectedFiles, Seen& seen) {
  struct statx info {};
  if (!describeAt(folderOf(at), at.name, seen.identity, &info))
    return errno == ENOENT ? Found::kNothing : Found::kOther;
  if (S_ISDIR(info.stx_mode)) return Found::kFolder;
  // Root is asked too: the system refuses it a file on a read-only mount,
  // or a program being run.
  if (!S_ISREG(info.stx_mode) || isOneOf(seen.identity, protectedFiles) ||
      ::faccessat(folderOf(at), at.name, W_OK, AT_EACCESS) != 0)
    return Found::kOther;
  seen.metadata = {info.stx_uid, info.stx_gid, info.stx_mode & 0777u};
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

bool moveName(At from, At to, Over over) {
  if (over == Over::kReplace) return rename(from, to) == 0;
  if (rename(from, to, RENAME_NOREPLACE) == 0) return true;
  if (!flagRefused(errno)) return false;
  // A link, like RENAME_NOREPLACE, fails where the target exists.
  if (link(from, to) == 0) {
    removeFile(from);
    return true;
  }
  if (errno == EEXIST) return false;
  // Neither (a folder, or a file system without links): look first, which
  // leaves only a moment for another process.
  struct stat info {};
  if (::fstatat(folderOf(to), to.name, &info, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
    errno = EEXIST;
    return false;
  }
  return rename(from, to) == 0;
}

bool swapNames(At first, At second) { return rename(first, second, RENAME_EXCHANGE) == 0; }

Placement replaceInOneStep(At temporary, At target, const FileIdentity& replaced, At backup,
                           Failure& failure) {
  if (rename(temporary, target, RENAME_EXCHANGE) == 0) {
    if (isAt(temporary, replaced)) return Placement::kExchanged;
    // Not the file the run saw there: it goes back.
    swapNames(temporary, target);
    failure = {Failure::Kind::kChanged};
    return Placement::kNone;
  }
  if (!flagRefused(errno)) {
    failure = errno == ENOENT ? Failure{Failure::Kind::kChanged} : Failure::ofSystem();
    return Placement::kNone;
  }
  // No swap here: the old file keeps a second name until the run is
  // complete, so that it can still be put back.
  if (link(target, backup) != 0) return Placement::kNone;
  if (!isAt(backup, replaced)) {
    removeFile(backup);
    failure = {Failure::Kind::kChanged};
    return Placement::kNone;
  }
  if (rename(temporary, target) == 0) return Placement::kMovedAside;
  failure = Failure::ofSystem();
  removeFile(backup);
  return Placement::kNone;
}

}  // namespace vaultcat::platform
