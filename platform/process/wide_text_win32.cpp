#include "platform/process/wide_text_win32.h"

#include <climits>

#include "platform/process/handle_win32.h"

namespace vaultcat::platform {

std::optional<std::wstring> toWide(std::string_view text, unsigned codePage, Invalid invalid) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX) return std::nullopt;
  const DWORD flags = invalid == Invalid::kRefused ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (units <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  if (::MultiByteToWideChar(codePage, flags, text.data(), length, wide.data(), units) != units)
    return std::nullopt;
  return wide;
}

std::optional<std::string> toNarrow(std::wstring_view text, unsigned codePage) {
  if (text.empty()) return std::string();
  if (text.size() > INT_MAX) return std::nullopt;
  const int length = static_cast<int>(text.size());
  const int bytes =
      ::WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::nullopt;
  std::string narrow(static_cast<size_t>(bytes), '\0');
  if (::WideCharToMultiByte(codePage, 0, text.data(), length, narrow.data(), bytes, nullptr,
                            nullptr) != bytes)
    return std::nullopt;
  return narrow;
}

}  // namespace vaultcat::platform
