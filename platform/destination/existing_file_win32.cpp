// An existing file on Windows: CreateFileW, and ReadFile at an offset, or
// WriteFile to copy it.
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

namespace {

// Moves `length` bytes at `offset` with `call` (ReadFile or WriteFile), a
// slice at a time, until all have gone or a call moves none.
template <class Call>
bool moveAt(uint64_t offset, size_t length, Call call) {
  for (size_t done = 0; done < length;) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset + done);
    at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
    DWORD moved = 0;
    if (!call(done, static_cast<DWORD>(std::min<size_t>(length - done, 1 << 20)), &moved, &at) ||
        moved == 0)
      return false;
    done += moved;
  }
  return true;
}

}  // namespace

bool ExistingFile::readAt(std::intptr_t file, uint64_t offset, std::byte* into, size_t length) {
  return moveAt(offset, length, [&](size_t done, DWORD slice, DWORD* moved, OVERLAPPED* at) {
    return ::ReadFile(fromStored(file), into + done, slice, moved, at) != 0;
  });
}

bool ExistingFile::writeAt(std::intptr_t file, uint64_t offset, const std::byte* from,
                           size_t length) {
  return moveAt(offset, length, [&](size_t done, DWORD slice, DWORD* moved, OVERLAPPED* at) {
    return ::WriteFile(fromStored(file), from + done, slice, moved, at) != 0;
  });
}

void ExistingFile::closeFile(std::intptr_t file) { ::CloseHandle(fromStored(file)); }

}  // namespace vaultcat::platform
