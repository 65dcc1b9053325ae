// Names on Windows: a name is UTF-16 to the system, spelled in UTF-8 by
// the program (its manifest makes UTF-8 the code page).
#include <cstring>
#include <string>

#include "platform/handle_win32.h"
#include "platform/names.h"

namespace vaultcat::platform {

namespace {

// The code page the system locale names, not the one the program's
// manifest makes current (UTF-8).
UINT systemAnsiCodePage() {
  static const UINT codePage = [] {
    DWORD page = 0;
    const int got = ::GetLocaleInfoEx(LOCALE_NAME_SYSTEM_DEFAULT,
                                      LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                      reinterpret_cast<LPWSTR>(&page), sizeof page / sizeof(WCHAR));
    return got > 0 && page != 0 && page != CP_UTF8 ? static_cast<UINT>(page) : UINT{1252};
  }();
  return codePage;
}

}  // namespace

Spelling::Spelling(std::string_view stored) : stored_(stored) {
  const int length = static_cast<int>(stored.size());
  if (stored.empty() ||
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, stored.data(), length, nullptr, 0) > 0)
    return;
  const UINT codePage = systemAnsiCodePage();
  const int units = ::MultiByteToWideChar(codePage, 0, stored.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(codePage, 0, stored.data(), length, wide.data(), units);
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  std::string& utf8 = converted_.emplace(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(), bytes, nullptr, nullptr);
}

// Windows tells names apart as its file systems do: letters in either case
// are one, as the system's own upper case has them.
std::string nameKey(std::string_view name) {
  const int length = static_cast<int>(name.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, name.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, name.data(), length, wide.data(), units);
  ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  std::string key(wide.size() * sizeof(wchar_t), '\0');
  std::memcpy(key.data(), wide.data(), key.size());
  return key;
}

}  // namespace vaultcat::platform
