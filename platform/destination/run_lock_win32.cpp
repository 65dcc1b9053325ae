// The run lock on Windows: a file in the user's own local application data
// (%LOCALAPPDATA%\vaultcat, which only the user and the administrators may
// open), opened with no sharing, so that no other process opens it while
// it is held, and removed by the system when its handle closes, as it does
// when the process ends.
#include <string>

#include "platform/destination/run_lock.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

bool RunLock::tryTake(const std::string& name, bool& busy) {
  busy = false;
  wchar_t base[32768];
  const DWORD length = ::GetEnvironmentVariableW(L"LOCALAPPDATA", base, std::size(base));
  if (length == 0 || length >= std::size(base)) return false;
  const std::wstring folder = std::wstring(base, length) + L"\\vaultcat";
  ::CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring path = folder + L"\\" + toWide(name, CP_UTF8).value_or(std::wstring());
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // Held, or let go of and not yet removed.
    const DWORD error = ::GetLastError();
    busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
    return false;
  }
  file_ = toStored(file);
  return true;
}

void RunLock::release() {
  if (file_ != -1) ::CloseHandle(fromStored(file_));
  file_ = -1;
  name_.clear();
}

}  // namespace vaultcat::platform
