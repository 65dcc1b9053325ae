// File identities on Windows: the volume, the file index and the times.
#include "platform/process/file_identity.h"
#include "platform/process/handle_win32.h"

namespace vaultcat::platform {

namespace {
int64_t fromFileTime(const FILETIME& time) {
  return static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}
}  // namespace

// The type is the attributes that tell a folder and a reparse point.
bool FileIdentity::isFolder() const { return type == FILE_ATTRIBUTE_DIRECTORY; }
bool FileIdentity::isFile() const { return type == 0; }

bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity) {
  HANDLE file = fromStored(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  FILE_BASIC_INFO basic{};
  const bool haveBasic =
      ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0;
  identity = {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
              (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
              fromFileTime(info.ftLastWriteTime), haveBasic ? basic.ChangeTime.QuadPart : 0,
              // A file number of NTFS changes when it is used again, and
              // Wine's time of making follows the file's changes.
              0, info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)};
  return true;
}

}  // namespace vaultcat::platform
