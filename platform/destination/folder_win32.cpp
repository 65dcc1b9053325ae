// Folders on Windows: paths, joined to the names in them, each folder held
// by a handle that does not share deletion, so that nothing can move or
// remove it, nor put a link in its place, while the path is in use.
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/process/handle_win32.h"
// After windows.h, which handle_win32.h includes.
#include <aclapi.h>
#include <winioctl.h>
#include "platform/process/process.h"
#include "platform/process/wide_path_win32.h"
#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

const char kPathSeparators[] = "/\\";

namespace {

std::string joined(const std::string& folder, const char* name) {
  const bool separated = folder.empty() || folder.back() == '/' || folder.back() == '\\';
  return folder + (separated ? "" : "/") + name;
}

// A handle on what is at `path`: a folder needs FILE_FLAG_BACKUP_SEMANTICS,
// and with FILE_FLAG_OPEN_REPARSE_POINT a link or junction is opened
// itself rather than followed.
HANDLE openAt(const std::wstring& path, DWORD share, bool followLink) {
  return ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       nullptr);
}

constexpr DWORD kPinned = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isFolder(HANDLE handle, bool reparsePointAllowed) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileInformationByHandle(handle, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (reparsePointAllowed || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
}

}  // namespace

std::wstring widePath(At at) { return widePath(joined(at.folder.path(), at.name)); }

Folder::Opened Folder::open(const std::string& path) {
  close();
  Handle folder(openAt(widePath(path), kPinned, true));
  if (!folder.valid()) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Opened::kMissing
                                                                          : Opened::kFailed;
  }
  if (!isFolder(folder.get(), true)) return Opened::kFailed;
  handle_ = toStored(folder.release());
  path_ = path;
  open_ = true;
  return Opened::kOpened;
}

bool Folder::openIn(const Folder& parent, const std::string& name) {
  close();
  const std::string path = joined(parent.path_, name.c_str());
  Handle folder(openAt(widePath(path), kPinned, false));
  if (!folder.valid()) return false;
  if (!isFolder(folder.get(), false)) {
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
    return false;
  }
  handle_ = toStored(folder.release());
  path_ = path;
  return open_ = true;
}

void Folder::close() {
  if (lock_ != -1) {
    ::ReleaseMutex(fromStored(lock_));
    ::CloseHandle(fromStored(lock_));
  }
  if (handle_ != -1) ::CloseHandle(fromStored(handle_));
  lock_ = handle_ = -1;
  path_.clear();
  open_ = false;
}

bool Folder::identify(FileIdentity& identity) const {
  return open_ && identifyOpenFile(handle_, identity);
}

// A folder cannot be locked as a file can: a mutex named after the folder's
// volume and number stands for it, and the system lets go of it when the
// process ends.
Folder::Locked Folder::lock(std::chrono::milliseconds wait) {
  FileIdentity identity;
  if (!identify(identity)) return Locked::kFailed;
  wchar_t name[80];
  std::swprintf(name, std::size(name), L"Global\\vaultcat-%llx-%llx",
                static_cast<unsigned long long>(identity.device),
                static_cast<unsigned long long>(identity.inode));
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return Locked::kFailed;
  const DWORD waited = ::WaitForSingleObject(mutex, static_cast<DWORD>(wait.count()));
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? Locked::kBusy : Locked::kFailed;
  }
  lock_ = toStored(mutex);
  return Locked::kLocked;
}

bool makeFolder(At at, uint32_t) { return ::CreateDirectoryW(widePath(at).c_str(), nullptr) != 0; }

std::intptr_t createFile(At at, bool& nameTaken) {
  HANDLE file = ::CreateFileW(widePath(at).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  nameTaken = file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS;
  return file == INVALID_HANDLE_VALUE ? -1 : toStored(file);
}

void removeFile(At at) { ::DeleteFileW(widePath(at).c_str()); }

bool removeEmptyFolder(At at) { return ::RemoveDirectoryW(widePath(at).c_str()) != 0; }

bool identifyAt(At at, FileIdentity& identity) {
  Handle there(openAt(widePath(at), kShared, false));
  return there.valid() && identifyOpenFile(toStored(there.get()), identity);
}

// Folders are listed one at a time, each entry once; a link or junction is
// removed itself and never entered.
bool removeTree(At at) {
  // Not mustStop(): a removal runs in the undo that an interrupt began, when
  // mustStop() holds already; only one more interrupt ends it.
  const uint32_t interruptsBefore = interruptions();
  const std::wstring top = widePath(at);
  const DWORD attributes = ::GetFileAttributesW(top.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ::DeleteFileW(top.c_str()) != 0;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return ::RemoveDirectoryW(top.c_str()) != 0;
  struct Level {
    std::wstring path;
    bool listed = false;
  };
  bool whole = true;
  std::vector<Level> levels{{top}};
  while (!levels.empty()) {
    if (interruptions() != interruptsBefore) return false;
    if (levels.back().listed) {
      if (!::RemoveDirectoryW(levels.back().path.c_str())) whole = false;
      levels.pop_back();
      continue;
    }
    levels.back().listed = true;
    const std::wstring folder = levels.back().path;
    WIN32_FIND_DATAW entry{};
    HANDLE found = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &entry,
                                      FindExSearchNameMatch, nullptr, 0);
    if (found == INVALID_HANDLE_VALUE) continue;
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (isFolder && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        levels.push_back({path});
      } else if (!(isFolder ? ::RemoveDirectoryW(path.c_str()) : ::DeleteFileW(path.c_str()))) {
        whole = false;
      }
    } while (::FindNextFileW(found, &entry));
    ::FindClose(found);
  }
  return whole;
}

std::vector<std::string> namesIn(const Folder& folder, std::string_view prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW entry{};
  // Joined as a name is: the folder a path was cut in keeps its separator,
  // and "\\?\" paths take no empty part.
  HANDLE found = ::FindFirstFileExW(widePath({folder, "*"}).c_str(), FindExInfoBasic, &entry,
                                    FindExSearchNameMatch, nullptr, 0);
  if (found == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = toNarrow(entry.cFileName, CP_ACP).value_or(std::string());
    if (name.starts_with(prefix)) names.push_back(std::move(name));
  } while (::FindNextFileW(found, &entry));
  ::FindClose(found);
  return names;
}

namespace {
// Whether `owner` is the SID the token gives as `kind` (TokenUser, TokenOwner).
bool tokenNames(HANDLE token, TOKEN_INFORMATION_CLASS kind, PSID owner) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<BYTE> given(size);
  if (size == 0 || !::GetTokenInformation(token, kind, given.data(), size, &size)) return false;
  // TOKEN_USER and TOKEN_OWNER both begin with the SID's address.
  return ::EqualSid(owner, *reinterpret_cast<PSID*>(given.data()));
}
}  // namespace

// Its owner is the user, or the one this process gives what it makes (the
// administrators, for a program run as one).
bool ownedByThisProcess(const Folder& folder) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  if (::GetNamedSecurityInfoW(widePath(folder.path()).c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &security) != ERROR_SUCCESS)
    return false;
  HANDLE token = nullptr;
  const bool ours = ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
                    (tokenNames(token, TokenUser, owner) || tokenNames(token, TokenOwner, owner));
  if (token != nullptr) ::CloseHandle(token);
  ::LocalFree(security);
  return ours;
}

bool syncFile(std::intptr_t file) { return ::FlushFileBuffers(fromStored(file)) != 0; }
// NTFS logs the names in its folders before it answers; a volume can be
// flushed only by an administrator, so files are flushed one by one.
bool syncFolder(const Folder&) { return true; }
bool syncFileSystem(const Folder&) { return false; }
const size_t kMostFilesSyncedOneByOne = SIZE_MAX;

// A file system without sparse files refuses the mark, and writes zeros.
void allowHoles(std::intptr_t file) {
  DWORD returned = 0;
  ::DeviceIoControl(fromStored(file), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
}
bool setLength(std::intptr_t file, uint64_t length) {
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(length);
  return ::SetFilePointerEx(fromStored(file), end, nullptr, FILE_BEGIN) != 0 &&
         ::SetEndOfFile(fromStored(file)) != 0;
}

// Every path reaches the system with the "\\?\" prefix (wide_path_win32.h),
// which takes 32,767 UTF-16 units with the prefix and the null at the end,
// whether or not the system has long paths enabled. The folder's own path
// and the staging folder's part count too, and a name's bytes of UTF-8 are
// never fewer than its units.
uint64_t longestPathUnder(const Folder& top) {
  constexpr uint64_t kLongest = 32767;
  const std::wstring path = widePath(top.path());
  const uint64_t units = path.size() + 1;
  constexpr uint64_t kStaging = 32;
  return path.empty() || units + kStaging >= kLongest ? 0 : kLongest - kStaging - units;
}

// A leading separator, or a drive.
bool isRelativePath(std::string_view path) {
  return !path.empty() && path[0] != '/' && path[0] != '\\' && (path.size() < 2 || path[1] != ':');
}

// Windows moves a file over a link rather than through it; placement.h
// refuses to replace a link there.
std::optional<std::string> linkAt(At) { return std::nullopt; }
std::optional<std::string> followLinks(std::string path) { return path; }

}  // namespace vaultcat::platform
