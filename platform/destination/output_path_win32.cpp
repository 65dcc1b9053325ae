// Output names on Windows.
#include <algorithm>
#include <array>
#include <string>

#include "platform/destination/output_path.h"

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

bool systemAllowsName(std::string_view name) {
  const bool forbidden = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
  });
  return !forbidden && name.back() != '.' && name.back() != ' ' && !isDeviceName(name);
}

bool fitsAsName(std::string_view name) {
  // Each character takes one unit, or two past the first 65,536 (four
  // bytes in UTF-8); continuation bytes begin 10 in binary.
  size_t units = 0;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units <= 255;
}

}  // namespace vaultcat::platform
