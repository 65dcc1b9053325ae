// The run lock on POSIX systems: flock(2) on a file in a folder of the
// user's own that no other user may enter (mode 0700): `vaultcat` in
// $XDG_RUNTIME_DIR where that is such a folder, or else in /run/user/UID;
// else `.cache/vaultcat` in the home the user database gives, where the
// home and its .cache are the user's and no other user may write in them;
// else /tmp/vaultcat-UID, which /tmp's sticky bit keeps the user's once
// made. The holder removes the file before it lets go, so that no file is
// left for each destination; a run that locked a file removed meanwhile
// takes the lock again, on the file now there.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/destination/run_lock.h"

namespace vaultcat::platform {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Whether the open folder `fd` is the user's, and no other user may write
// in it (`onlyTheUser`: nor enter it).
bool isUsers(int fd, bool onlyTheUser) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
         (info.st_mode & (onlyTheUser ? 077 : 022)) == 0;
}

// What a folder tried for the lock's is: open, or not there or not the
// user's, when the next is tried, or failed otherwise (as when no
// descriptor is left), when the lock fails: the one another run of the
// user's finds could be this one, and both must take the same.
constexpr int kNotThere = -1, kFailed = -2;

int checked(int fd, bool onlyTheUser) {
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? kNotThere : kFailed;
  if (isUsers(fd, onlyTheUser)) return fd;
  ::close(fd);
  return kNotThere;
}

// The folder at the absolute `path`, where it is the user's as isUsers() says.
int usersFolder(const char* path, bool onlyTheUser) {
  if (path == nullptr || path[0] != '/') return kNotThere;
  return checked(::open(path, kFolderFlags), onlyTheUser);
}

// The folder `name` in the open folder `in` (which it closes), made where
// it is missing with `mode`, and never through a link.
int folderIn(int in, const char* name, mode_t mode, bool onlyTheUser) {
  if (in < 0) return in;
  ::mkdirat(in, name, mode);
  const int fd = ::openat(in, name, kFolderFlags | O_NOFOLLOW);
  const int error = errno;
  ::close(in);
  errno = error;
  return checked(fd, onlyTheUser);
}

// The user's home as the user database gives it: kFailed where the
// database cannot be read, kNotThere where it has none.
int homeFolder() {
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) errno = error;
  if (error != 0) return kFailed;
  return found == nullptr ? kNotThere : usersFolder(entry.pw_dir, false);
}

int lockFolder() {
  const std::string user = std::to_string(::geteuid());
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string perUser = "/run/user/" + user;
  int folder =
      folderIn(usersFolder(runtime ? runtime : perUser.c_str(), true), "vaultcat", 0700, true);
  if (folder == kNotThere)
    folder = folderIn(folderIn(homeFolder(), ".cache", 0700, false), "vaultcat", 0700, true);
  if (folder == kNotThere) {
    const int tmp = ::open("/tmp", kFolderFlags);
    folder = folderIn(tmp >= 0 ? tmp : kFailed, ("vaultcat-" + user).c_str(), 0700, true);
  }
  return folder;
}

}  // namespace

bool RunLock::tryTake(const std::string& name, bool& busy) {
  busy = false;
  if (folder_ == -1 && (folder_ = lockFolder()) < 0) {
    if (folder_ == kNotThere) errno = EACCES;
    folder_ = -1;
    return false;
  }
  const int folder = static_cast<int>(folder_);
  const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    busy = error == EWOULDBLOCK || error == EINTR;
    ::close(fd);
    errno = error;
    return false;
  }
  // The holder before removed the file as it let go: the lock is the one
  // on the file at the name now.
  struct stat locked {
  }, named{};
  if (::fstat(fd, &locked) != 0 ||
      ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      locked.st_dev != named.st_dev || locked.st_ino != named.st_ino) {
    ::close(fd);
    busy = true;
    return false;
  }
  file_ = fd;
  name_ = name;
  return true;
}

void RunLock::release() {
  if (file_ != -1) {
    ::unlinkat(static_cast<int>(folder_), name_.c_str(), 0);
    ::close(static_cast<int>(file_));
  }
  if (folder_ != -1) ::close(static_cast<int>(folder_));
  file_ = folder_ = -1;
  name_.clear();
}

}  // namespace vaultcat::platform
