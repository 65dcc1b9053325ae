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

int closed(int fd) {
  if (fd >= 0) ::close(fd);
  return -1;
}

// The folder at the absolute `path`, where it is the user's as isUsers() says.
int usersFolder(const char* path, bool onlyTheUser) {
  if (path == nullptr || path[0] != '/') return -1;
  const int fd = ::open(path, kFolderFlags);
  return fd >= 0 && isUsers(fd, onlyTheUser) ? fd : closed(fd);
}

// The folder `name` in the open folder `in` (which it closes), made where
// it is missing with `mode`, and never through a link.
int folderIn(int in, const char* name, mode_t mode, bool onlyTheUser) {
  if (in < 0) return -1;
  ::mkdirat(in, name, mode);
  const int fd = ::openat(in, name, kFolderFlags | O_NOFOLLOW);
  ::close(in);
  return fd >= 0 && isUsers(fd, onlyTheUser) ? fd : closed(fd);
}

std::string homeFolder() {
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || entry.pw_dir == nullptr)
    return {};
  return entry.pw_dir;
}

int lockFolder() {
  const std::string user = std::to_string(::geteuid());
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string perUser = "/run/user/" + user;
  int folder =
      folderIn(usersFolder(runtime ? runtime : perUser.c_str(), true), "vaultcat", 0700, true);
  if (folder < 0) {
    const std::string home = homeFolder();
    folder = folderIn(folderIn(usersFolder(home.c_str(), false), ".cache", 0700, false), "vaultcat",
                      0700, true);
  }
  if (folder < 0)
    folder = folderIn(::open("/tmp", kFolderFlags), ("vaultcat-" + user).c_str(), 0700, true);
  return folder;
}

}  // namespace

bool RunLock::tryTake(const std::string& name, bool& busy) {
  busy = false;
  if (folder_ == -1 && (folder_ = lockFolder()) < 0) {
    folder_ = -1;
    errno = EACCES;
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
