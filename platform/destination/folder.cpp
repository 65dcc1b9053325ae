// What both systems share of folders: handing one on, and cutting a path
// into folder and name.
#include "platform/destination/folder.h"

#include <cstring>
#include <utility>

namespace vaultcat::platform {

Folder& Folder::operator=(Folder&& other) noexcept {
  if (this != &other) {
    close();
    open_ = std::exchange(other.open_, false);
    handle_ = std::exchange(other.handle_, -1);
    lock_ = std::exchange(other.lock_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

std::optional<FolderAndName> splitPath(std::string path) {
  const auto isSeparator = [](char c) { return c != '\0' && std::strchr(kPathSeparators, c); };
  while (path.size() > 1 && isSeparator(path.back())) path.pop_back();
  const size_t slash = path.find_last_of(kPathSeparators);
  FolderAndName split;
  split.folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  split.name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (split.name.empty() || split.name == "." || split.name == "..") return std::nullopt;
  return split;
}

}  // namespace vaultcat::platform
