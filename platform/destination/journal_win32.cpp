// The journal's file on Windows: WriteFile, FlushFileBuffers, ReadFile.
#include "platform/destination/journal.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_path_win32.h"

namespace vaultcat::platform {

void Journal::close() {
  if (file_ != -1) ::CloseHandle(fromStored(file_));
  file_ = -1;
  held_.clear();
}

bool Journal::write() {
  for (size_t done = 0; !failed_ && done < held_.size();) {
    DWORD written = 0;
    failed_ = file_ == -1 ||
              !::WriteFile(fromStored(file_), held_.data() + done,
                           static_cast<DWORD>(std::min<size_t>(held_.size() - done, 1 << 20)),
                           &written, nullptr) ||
              written == 0;
    done += written;
  }
  held_.clear();
  return !failed_;
}

bool Journal::sync() { return !failed_ && ::FlushFileBuffers(fromStored(file_)) != 0; }

std::optional<std::string> Journal::readWhole(At at) {
  // The run that reads its own journal still has it open for writing.
  Handle file(::CreateFileW(widePath(at).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  LARGE_INTEGER size{};
  if (!file.valid() || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > (1LL << 40))
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
