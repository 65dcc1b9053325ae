// Folders on Windows: paths, joined to the names in them.
#include <filesystem>
#include <system_error>

#include "platform/folder.h"
#include "platform/handle_win32.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

const char kPathSeparators[] = "/\\";

namespace {
std::string joined(const std::string& folder, const char* name) {
  const bool separated = folder.empty() || folder.back() == '/' || folder.back() == '\\';
  return folder + (separated ? "" : "/") + name;
}
}  // namespace

std::wstring widePath(At at) { return widePath(joined(at.folder.path(), at.name)); }

Folder::Opened Folder::open(const std::string& path) {
  close();
  const DWORD attributes = ::GetFileAttributesW(widePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Opened::kMissing
                                                                          : Opened::kFailed;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Opened::kFailed;
  path_ = path;
  open_ = true;
  return Opened::kOpened;
}

// The folder was just made, by this process.
bool Folder::openIn(const Folder& parent, const std::string& name) {
  close();
  path_ = joined(parent.path_, name.c_str());
  return open_ = true;
}

void Folder::close() {
  path_.clear();
  open_ = false;
}

bool makeFolder(At at, uint32_t) { return ::CreateDirectoryW(widePath(at).c_str(), nullptr) != 0; }

std::intptr_t createFile(At at, bool& nameTaken) {
  HANDLE file = ::CreateFileW(widePath(at).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  nameTaken = file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS;
  return file == INVALID_HANDLE_VALUE ? -1 : toStored(file);
}

void removeFile(At at) { ::DeleteFileW(widePath(at).c_str()); }

void removeTree(At at) {
  std::error_code ignored;
  std::filesystem::remove_all(widePath(at), ignored);
}

// Windows moves a file over a link rather than through it; placement.h
// refuses to replace a link there.
std::optional<std::string> followLinks(std::string path) { return path; }

}  // namespace vaultcat::platform
