// An existing file on Windows: CreateFileW and ReadFile at an offset.
#include <algorithm>

#include "platform/destination/existing_file.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_path_win32.h"

namespace vaultcat::platform {

// A link is opened itself, and then found not to be the file seen; others
// may go on reading, writing and renaming the file meanwhile.
std::intptr_t ExistingFile::openToRead(At at) {
  HANDLE file = ::CreateFileW(widePath(at).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return file == INVALID_HANDLE_VALUE ? -1 : toStored(file);
}

bool ExistingFile::readAt(std::intptr_t file, uint64_t offset, std::byte* into, size_t length) {
  for (size_t done = 0; done < length;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD read = 0;
    if (!::ReadFile(fromStored(file), into + done,
                    static_cast<DWORD>(std::min<size_t>(length - done, 1 << 20)), &read, &at) ||
        read == 0)
      return false;
    done += read;
  }
  return true;
}

void ExistingFile::closeFile(std::intptr_t file) { ::CloseHandle(fromStored(file)); }

}  // namespace vaultcat::platform
