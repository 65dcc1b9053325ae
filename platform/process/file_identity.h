// What tells one file from another, and whether it changed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace vaultcat::platform {

// The device and the file's number on it, its kind and when it was made,
// its size, and its modification and change times.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // in the system's own units
  int64_t changed = 0;
  int64_t born = 0;   // 0 where the file system does not keep it
  uint32_t type = 0;  // a file, a folder, a link..., in the system's own terms

  // A file removed leaves its number free for the next one made, at once
  // on some file systems: a file of another kind, or made at another
  // time, is another file. A file system keeps the time a file was made
  // for every file or for none, so a time of 0 matches only a file of
  // none, never any file.
  bool sameFileAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode && type == other.type &&
           born == other.born;
  }
  // Its kind, as the system gives it: a folder (not a link to one), or a
  // regular file.
  bool isFolder() const;
  bool isFile() const;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of an open file: the system's descriptor or handle. False
// if the system cannot tell it.
bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity);

// Whether `file` is one of `files`, under any of its names.
inline bool isOneOf(const FileIdentity& file, std::span<const FileIdentity> files) {
  return std::any_of(files.begin(), files.end(),
                     [&](const FileIdentity& other) { return file.sameFileAs(other); });
}

}  // namespace vaultcat::platform
