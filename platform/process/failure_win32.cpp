// Failures on Windows: GetLastError(), and the system's message for it, in
// UTF-8 like every other text the program prints.
#include <string>

#include "platform/process/failure.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

Failure Failure::ofSystem() { return {Kind::kSystem, static_cast<int>(::GetLastError())}; }

std::string systemErrorText(int code) {
  wchar_t* message = nullptr;
  const DWORD units = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text;
  if (units > 0) text = toNarrow({message, units}, CP_UTF8).value_or(std::string());
  ::LocalFree(message);
  // The system ends its messages with a full stop and a line break.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}

}  // namespace vaultcat::platform
