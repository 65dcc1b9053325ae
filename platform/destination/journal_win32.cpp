// The journal's file on Windows: WriteFile, FlushFileBuffers, ReadFile.
#include "platform/destination/journal.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_path_win32.h"

namespace vaultcat::platform {

void Journal::close() {
  if (file_ != -1) ::CloseHandle(fromStored(file_));
  file_ = -1;
  plan_ = nullptr;
}

bool Journal::put(std::string_view bytes) {
  for (size_t done = 0; done < bytes.size();) {
    DWORD written = 0;
    if (!::WriteFile(fromStored(file_), bytes.data() + done,
                     static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20)), &written,
                     nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

bool Journal::sync() { return !failed_ && ::FlushFileBuffers(fromStored(file_)) != 0; }

std::optional<std::string> Journal::readWhole(At at) {
  // The run that reads its own journal still has it open for writing.
  Handle file(::CreateFileW(widePath(at).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  LARGE_INTEGER size{};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !::GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      !::GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) > kMostBytes)
    return std::nullopt;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  for (size_t done = 0; done < bytes.size();) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data() + done,
                    static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20)), &read,
                    nullptr) ||
        read == 0)
      return std::nullopt;
    done += read;
  }
  return bytes;
}

}  // namespace vaultcat::platform
