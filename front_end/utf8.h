// UTF-8 as the front end shows it: where a character begins, which
// characters are printed as they are, and the columns text takes on a
// terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vaultcat::utf8 {

// Whether `byte` goes on with a character rather than beginning one.
constexpr bool continues(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The length of the sequence of a printable character at the start of
// `text`, or 0 for a control character (C0, DEL, C1) or a byte that starts
// no whole, shortest sequence of a character.
size_t printableLength(std::string_view text);

// The columns a terminal gives the character that begins `text`: none to
// a combining mark, a joiner or a mark of direction, two to a wide or
// full-width character (most of Chinese, Japanese and Korean), one to any
// other, a byte that begins no character included.
unsigned columnsOfFirst(std::string_view text);

// The columns `text` takes.
uint64_t columnsOf(std::string_view text);

// The end of `text` that takes at most `columns` columns: whole characters,
// never a combining mark without the character it belongs to.
std::string_view lastColumns(std::string_view text, uint64_t columns);

}  // namespace vaultcat::utf8
