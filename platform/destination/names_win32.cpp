// Names on Windows: a name is UTF-16 to the system, spelled in UTF-8 by
// the program (its manifest makes UTF-8 the code page).
#include <cstring>
#include <string>

#include "platform/destination/names.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_text_win32.h"

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
  if (toWide(stored, CP_UTF8, Invalid::kRefused)) return;
  const std::wstring wide = toWide(stored, systemAnsiCodePage()).value_or(std::wstring());
  converted_ = toNarrow(wide, CP_UTF8).value_or(std::string());
}

// Windows tells names apart as its file systems do: letters in either case
// are one, as the system's own upper case has them.
std::string nameKey(std::string_view name) {
  std::wstring wide = toWide(name, CP_UTF8).value_or(std::wstring());
  ::CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
  std::string key(wide.size() * sizeof(wchar_t), '\0');
  std::memcpy(key.data(), wide.data(), key.size());
  return key;
}

}  // namespace vaultcat::platform
