// The folders under a top folder, each reached from it one name at a time,
// never through a link, and checked to be the folder first found at its
// path. A folder moved away, or swapped for another folder or for a link,
// since then is not reached, and no path given to the system grows with
// the depth. For the platform's own sources.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/process/failure.h"
#include "platform/process/file_identity.h"

namespace vaultcat::platform {

class FolderWalk {
 public:
  explicit FolderWalk(const Folder& top) : top_(top) {}
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // The folder at `path` (names joined by '/'; empty for the top), or null
  // with the failure: a part missing or not a folder, or not the folder
  // first found at its path. The folders on the way stay open until a
  // path elsewhere is reached, and each of them is checked again to be at
  // its name whenever a path other than the last is reached.
  const Folder* reach(std::string_view path, Failure& failure);
  // Whether every folder held is still at its name; kChanged otherwise.
  bool verify(Failure& failure) const;
  // Notes what was seen at `path` before the walk reached it: a folder
  // reached there must be that one.
  void expect(std::string_view path, const FileIdentity& identity);
  // Closes the folders held; what was seen is kept.
  void release();

 private:
  struct Level {
    size_t begin, end;  // its name in path_
    Folder folder;
    FileIdentity identity;
  };
  const Folder& parentOf(size_t level) const {
    return level == 0 ? top_ : levels_[level - 1].folder;
  }

  const Folder& top_;
  std::string path_;  // of the deepest folder held
  std::vector<Level> levels_;
  std::unordered_map<std::string, FileIdentity> seen_;
};

}  // namespace vaultcat::platform
