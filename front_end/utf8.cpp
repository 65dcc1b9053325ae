#include "front_end/utf8.h"

#include <algorithm>
#include <iterator>
#include <span>

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

namespace {

struct CodeRange {
  char32_t first, last;
};
#include "front_end/char_widths.inc"

bool within(std::span<const CodeRange> ranges, char32_t c) {
  const auto found =
      std::upper_bound(ranges.begin(), ranges.end(), c,
                       [](char32_t code, const CodeRange& r) { return code < r.first; });
  return found != ranges.begin() && c <= std::prev(found)->last;
}

// The character at the start of `text`, which printableLength() found
// `length` bytes long.
char32_t decode(std::string_view text, size_t length) {
  static constexpr unsigned char kLead[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = static_cast<unsigned char>(text[0]) & kLead[length];
  for (size_t i = 1; i < length; ++i) c = c << 6 | (static_cast<unsigned char>(text[i]) & 0x3F);
  return c;
}

}  // namespace

unsigned columnsOfFirst(std::string_view text) {
  const size_t length = printableLength(text);
  if (length < 2) return 1;
  const char32_t c = decode(text, length);
  return within(kNoColumn, c) ? 0 : within(kTwoColumns, c) ? 2 : 1;
}

uint64_t columnsOf(std::string_view text) {
  uint64_t columns = 0;
  for (size_t at = 0; at < text.size(); ++at)
    if (!continues(text[at])) columns += columnsOfFirst(text.substr(at));
  return columns;
}

std::string_view lastColumns(std::string_view text, uint64_t columns) {
  // From the end, a character at a time: the cut goes before the last one
  // that fits, once it takes a column (marks before it would have none).
  size_t start = text.size();
  uint64_t taken = 0;
  for (size_t at = text.size(); at > 0;) {
    --at;
    while (at > 0 && continues(text[at])) --at;
    taken += columnsOfFirst(text.substr(at));
    if (taken > columns) break;
    if (columnsOfFirst(text.substr(at)) > 0) start = at;
  }
  return text.substr(start);
}

}  // namespace vaultcat::utf8
