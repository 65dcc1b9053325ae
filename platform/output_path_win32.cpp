// Output names on Windows.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "platform/handle_win32.h"
#include "platform/output_path.h"

namespace vaultcat::platform {

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (the digit also written as the
// superscripts 1, 2 and 3), CONIN$ and CONOUT$, in any case, alone or before
// an extension or trailing spaces: each opens a device in every folder.
bool isDeviceName(std::string_view name) {
  std::string base;
  for (char c : name.substr(0, name.find('.'))) base.push_back(upper(c));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static constexpr std::array<std::string_view, 6> kNames = {"CON", "PRN",    "AUX",
                                                             "NUL", "CONIN$", "CONOUT$"};
  if (std::find(kNames.begin(), kNames.end(), base) != kNames.end()) return true;
  const std::string_view rest = std::string_view(base).substr(std::min<size_t>(3, base.size()));
  const bool digit = (rest.size() == 1 && rest[0] >= '0' && rest[0] <= '9') || rest == "\xC2\xB9" ||
                     rest == "\xC2\xB2" || rest == "\xC2\xB3";
  return digit && (base.starts_with("COM") || base.starts_with("LPT"));
}

}  // namespace

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

std::optional<std::string> otherSpelling(std::string_view stored) {
  const int length = static_cast<int>(stored.size());
  if (stored.empty() ||
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, stored.data(), length, nullptr, 0) > 0)
    return std::nullopt;
  // The code page the system locale names, not the one the program's
  // manifest makes current (UTF-8).
  static const UINT codePage = [] {
    DWORD page = 0;
    const int got = ::GetLocaleInfoEx(LOCALE_NAME_SYSTEM_DEFAULT,
                                      LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                      reinterpret_cast<LPWSTR>(&page), sizeof page / sizeof(WCHAR));
    return got > 0 && page != 0 && page != CP_UTF8 ? static_cast<UINT>(page) : UINT{1252};
  }();
  const int units = ::MultiByteToWideChar(codePage, 0, stored.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(codePage, 0, stored.data(), length, wide.data(), units);
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

bool systemAllowsName(std::string_view name) {
  const bool forbidden = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
  });
  return !forbidden && name.back() != '.' && name.back() != ' ' && !isDeviceName(name);
}

}  // namespace vaultcat::platform
