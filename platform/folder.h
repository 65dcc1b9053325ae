// The folders outputs are made in, and the names in them: on POSIX systems
// a folder is held by an open descriptor and names are taken relative to
// it, so that it stays the folder opened whatever its path comes to lead
// to; on Windows, whose calls take whole paths, by its path. For the
// platform's own sources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vaultcat::platform {

class Folder {
 public:
  enum class Opened { kOpened, kMissing, kFailed };

  Folder() = default;
  ~Folder() { close(); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  // Opens the existing folder at `path`, which may lead to it through
  // links. kMissing where nothing is at the path.
  Opened open(const std::string& path);
  // Opens the folder `name` in `parent`, never through a link.
  bool openIn(const Folder& parent, const std::string& name);
  void close();
  bool isOpen() const { return open_; }

  // What the system's calls take: the descriptor (POSIX systems), or the
  // path (Windows).
  std::intptr_t handle() const { return handle_; }
  const std::string& path() const { return path_; }

 private:
  bool open_ = false;
  std::intptr_t handle_ = -1;
  std::string path_;
};

// A name in a folder, or a path of names from it.
struct At {
  const Folder& folder;
  const char* name;
};

// Makes the folder `at`, with the permission bits `mode` less the umask on
// POSIX systems.
bool makeFolder(At at, uint32_t mode);
// A new file at `at`, opened for writing, never over anything nor through a
// link: its descriptor or handle, or -1, with `nameTaken` set where
// something is at the name.
std::intptr_t createFile(At at, bool& nameTaken);
void removeFile(At at);
// Removes the folder `at` with everything in it.
void removeTree(At at);

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

// The path that `path` finally leads to through symbolic links (on POSIX
// systems; on Windows `path` itself); it need not exist. Nothing for a
// loop of links or a link that cannot be read.
std::optional<std::string> followLinks(std::string path);

}  // namespace vaultcat::platform
