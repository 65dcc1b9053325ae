// The folders outputs are made in, and the names in them: a folder is held
// open, and names are taken relative to it, so that it stays the folder
// opened whatever its path comes to lead to. On POSIX systems that is its
// descriptor; Windows, whose calls take whole paths, holds a handle that
// keeps the folder from being moved or removed, so that its path keeps
// leading to it. For the platform's own sources.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/file_identity.h"

namespace vaultcat::platform {

class Folder {
 public:
  enum class Opened { kOpened, kMissing, kFailed };

  Folder() = default;
  ~Folder() { close(); }
  Folder(Folder&& other) noexcept { *this = std::move(other); }
  Folder& operator=(Folder&& other) noexcept;

  // Opens the existing folder at `path`, which may lead to it through
  // links. kMissing where nothing is at the path.
  Opened open(const std::string& path);
  // Opens the folder `name` in `parent`, never through a link (on Windows,
  // no reparse point of any kind).
  bool openIn(const Folder& parent, const std::string& name);
  void close();
  bool isOpen() const { return open_; }
  // The folder's device and number; false if the system cannot tell.
  bool identify(FileIdentity& identity) const;

  // Holds the folder for this process alone until it is closed, waiting
  // up to `wait` for another process that holds it; a process that ends
  // lets go. kBusy if the other still holds it then; kStopped if the run
  // is to stop (mustStop()) before.
  enum class Locked { kLocked, kBusy, kStopped, kFailed };
  Locked lock(std::chrono::milliseconds wait);

  // What the system's calls take: the descriptor or handle, and on Windows
  // the path.
  std::intptr_t handle() const { return handle_; }
  const std::string& path() const { return path_; }

 private:
  bool open_ = false;
  std::intptr_t handle_ = -1;
  std::intptr_t lock_ = -1;  // Windows: the mutex that stands for the lock
  std::string path_;
};

// A name in a folder, or a path of names from it.
struct At {
  const Folder& folder;
  const char* name;
};

// What the system's calls take for a name in a folder: on POSIX systems
// the folder's descriptor (and the name), on Windows the whole path.
inline int folderOf(At at) { return static_cast<int>(at.folder.handle()); }
std::wstring widePath(At at);

// Makes the folder `at`, with the permission bits `mode` less the umask on
// POSIX systems.
bool makeFolder(At at, uint32_t mode);
// A new file at `at`, opened for writing, never over anything nor through a
// link: its descriptor or handle, or -1, with `nameTaken` set where
// something is at the name.
std::intptr_t createFile(At at, bool& nameTaken);
void removeFile(At at);
// Removes the folder `at` where it is empty; false if it is not, or
// cannot be removed.
bool removeEmptyFolder(At at);
// Removes the folder `at` with everything in it, never through a link,
// holding one folder open at a time however deep the tree, and visiting
// each entry once. False if something stays: an entry the system would not
// remove, a folder moved meanwhile, or an interrupt that came while it
// worked.
bool removeTree(At at);
// The identity of what is at `at` itself (a link is not followed); false
// where nothing is, or the system cannot tell.
bool identifyAt(At at, FileIdentity& identity);
// Whether what is at `at` is the file or folder `identity` tells.
inline bool isAt(At at, const FileIdentity& identity) {
  FileIdentity there;
  return identifyAt(at, there) && there.sameFileAs(identity);
}

// The names in `folder` that begin with `prefix`.
std::vector<std::string> namesIn(const Folder& folder, std::string_view prefix);
// Whether the open folder belongs to the user this process runs as: no
// other user made it.
bool ownedByThisProcess(const Folder& folder);

// Durability: the data of an open file, or the names in a folder, reach
// the disk before these return; syncFileSystem() writes out everything the
// folder's file system holds in memory. False if the disk reports an error.
bool syncFile(std::intptr_t file);
bool syncFolder(const Folder& folder);
bool syncFileSystem(const Folder& folder);
// Up to how many new files a run syncs one by one, rather than its whole
// file system at once.
extern const size_t kMostFilesSyncedOneByOne;

// A file written in part: what is never written of it takes no room on the
// disk where the file system allows it, once allowHoles() has marked the
// new file (Windows, where a file must be sparse for it; POSIX file systems
// that can, do so by themselves), and setLength() makes it its whole length
// at the end, the bytes past the last one written reading as zeros. False
// if the system refuses the length.
void allowHoles(std::intptr_t file);
bool setLength(std::intptr_t file, uint64_t length);

// The longest path, in bytes with '/' between its parts, of a file or
// folder under `top` that every call of an output takes: longer ones are
// refused before anything is made.
uint64_t longestPathUnder(const Folder& top);

// The characters that separate the parts of a path on this system.
extern const char kPathSeparators[];
// A path cut before its last part: the folder (which keeps its separator;
// "." for none) and the name. Separators at the end are not a part. Nothing
// where the name would be empty, "." or "..".
struct FolderAndName {
  std::string folder;
  std::string name;
};
std::optional<FolderAndName> splitPath(std::string path);

// Whether `path` is taken from the working directory.
bool isRelativePath(std::string_view path);
// What the symbolic link at `at` holds, if a link is there (POSIX
// systems; on Windows a link is never followed).
std::optional<std::string> linkAt(At at);
// The path that `path` finally leads to through symbolic links (on POSIX
// systems; on Windows `path` itself); it need not exist. Nothing for a
// loop of links or a link that cannot be read.
std::optional<std::string> followLinks(std::string path);

}  // namespace vaultcat::platform
