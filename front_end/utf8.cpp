#include "front_end/utf8.h"

#include <algorithm>

namespace vaultcat::utf8 {

size_t printableLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  if (first < 0x80) return first >= 0x20 && first != 0x7F ? 1 : 0;
  const size_t length = first >= 0xF5   ? 0
                        : first >= 0xF0 ? 4
                        : first >= 0xE0 ? 3
                        : first >= 0xC2 ? 2
                                        : 0;
  if (length == 0 || text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i)
    if (!continues(text[i])) return 0;
  if (first == 0xC2 && byte(1) < 0xA0) return 0;  // U+0080 to U+009F: the C1 controls
  if (first == 0xE0 && byte(1) < 0xA0) return 0;  // longer than it need be
  if (first == 0xF0 && byte(1) < 0x90) return 0;
  if (first == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
  if (first == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
  return length;
}

uint64_t columnsOf(std::string_view text) {
  return static_cast<uint64_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !continues(c); }));
}

std::string_view lastColumns(std::string_view text, uint64_t columns) {
  size_t start = text.size();
  for (uint64_t taken = 0; start > 0;) {
    size_t before = start - 1;
    while (before > 0 && continues(text[before])) --before;
    if (++taken > columns) break;
    start = before;
  }
  return text.substr(start);
}

}  // namespace vaultcat::utf8
