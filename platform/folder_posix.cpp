// Folders on POSIX systems: descriptors, and names relative to them.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/folder.h"
#include "platform/io_posix.h"

namespace vaultcat::platform {

const char kPathSeparators[] = "/";

Folder::Opened Folder::open(const std::string& path) {
  close();
  handle_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  open_ = handle_ >= 0;
  return open_ ? Opened::kOpened : errno == ENOENT ? Opened::kMissing : Opened::kFailed;
}

bool Folder::openIn(const Folder& parent, const std::string& name) {
  close();
  handle_ = ::openat(static_cast<int>(parent.handle_), name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return open_ = handle_ >= 0;
}

void Folder::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  open_ = false;
}

bool makeFolder(At at, uint32_t mode) {
  return ::mkdirat(folderOf(at), at.name, static_cast<mode_t>(mode)) == 0;
}

std::intptr_t createFile(At at, bool& nameTaken) {
  const int fd =
      ::openat(folderOf(at), at.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  nameTaken = fd < 0 && errno == EEXIST;
  return fd;
}

void removeFile(At at) { ::unlinkat(folderOf(at), at.name, 0); }

// Folders are opened by their path from `at`'s folder rather than held
// open, so that a deep tree needs no more descriptors than a shallow one.
void removeTree(At at) {
  const int folder = folderOf(at);
  std::vector<std::string> pending{at.name};
  while (!pending.empty()) {
    const std::string path = pending.back();
    const int fd = ::openat(folder, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* entries = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (entries == nullptr) {
      if (fd >= 0) ::close(fd);
      ::unlinkat(folder, path.c_str(), 0);
      pending.pop_back();
      continue;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(entries)) {
      const std::string_view child = entry->d_name;
      if (child == "." || child == "..") continue;
      const std::string childPath = path + "/" + entry->d_name;
      if (::unlinkat(folder, childPath.c_str(), 0) != 0 && errno == EISDIR) {
        pending.push_back(childPath);
        empty = false;
      }
    }
    ::closedir(entries);
    if (empty) {
      ::unlinkat(folder, path.c_str(), AT_REMOVEDIR);
      pending.pop_back();
    }
  }
}

std::optional<std::string> followLinks(std::string path) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in one path
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(PATH_MAX, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || length >= PATH_MAX) return std::nullopt;
    target.resize(static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    path = target[0] == '/' || slash == std::string::npos ? target
                                                          : path.substr(0, slash + 1) + target;
  }
  return std::nullopt;
}

}  // namespace vaultcat::platform
