#include "front_end/text_output.h"

#include <charconv>
#include <string>

namespace vaultcat {

TextOutput::TextOutput()
    : ownBuffer_(std::make_unique<char[]>(kBufferSize)),
      buffer_(ownBuffer_.get()),
      used_(ownUsed_) {}

void TextOutput::putLarge(std::string_view text) {
  flush();
  if (text.size() < kBufferSize) {
    text.copy(buffer_, text.size());
    used_.store(text.size(), std::memory_order_release);
  } else if (!deliver(text)) {
    failed_ = true;
  }
}

template <class Number>
void TextOutput::putNumber(Number value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  put(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}
template void TextOutput::putNumber(int64_t);
template void TextOutput::putNumber(uint64_t);

void TextOutput::putSpaces(uint64_t count) {
  static constexpr std::string_view kSpaces = "                                ";
  while (count > 0) {
    size_t n = count < kSpaces.size() ? static_cast<size_t>(count) : kSpaces.size();
    put(kSpaces.substr(0, n));
    count -= n;
  }
}

namespace {

// The length of the UTF-8 sequence of a printable character at the start of
// `text`, or 0 for a control character (C0, DEL, C1) or a byte that starts
// no whole sequence.
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
    if ((byte(i) & 0xC0) != 0x80) return 0;
  if (first == 0xC2 && byte(1) < 0xA0) return 0;  // U+0080 to U+009F: the C1 controls
  if (first == 0xE0 && byte(1) < 0xA0) return 0;  // longer than it need be
  if (first == 0xF0 && byte(1) < 0x90) return 0;
  if (first == 0xED && byte(1) >= 0xA0) return 0;  // a surrogate
  if (first == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
  return length;
}

}  // namespace

void TextOutput::putName(std::string_view name) {
  if (!escapeNames_) return put(name);
  // Printable characters go out a run at a time: one at a time, the long
  // listing of a million items took half as long again.
  size_t run = 0;
  while (run < name.size()) {
    if (const size_t length = printableLength(name.substr(run))) {
      run += length;
      continue;
    }
    put(name.substr(0, run));
    const auto byte = static_cast<unsigned char>(name[run]);
    const char escaped[] = {'\\', static_cast<char>('0' + (byte >> 6)),
                            static_cast<char>('0' + ((byte >> 3) & 7)),
                            static_cast<char>('0' + (byte & 7))};
    put(std::string_view(escaped, sizeof escaped));
    name.remove_prefix(run + 1);
    run = 0;
  }
  put(name);
}

bool TextOutput::flush() {
  const size_t n = used_.load(std::memory_order_relaxed);
  if (n > 0 && !deliver(std::string_view(buffer_, n))) failed_ = true;
  used_.store(0, std::memory_order_release);
  // Any status line was cleared by the text's start.
  statusClearing_ = 0;
  return !failed_;
}

void TextOutput::showStatus(std::string_view line, uint64_t width) {
  std::string drawn = "\r";
  drawn += line;
  if (statusClearing_ != 0 && used_.load(std::memory_order_relaxed) == statusClearing_) {
    // Nothing came since the last line: this one is drawn over it.
    used_.store(0, std::memory_order_release);
    if (statusWidth_ > width) drawn.append(statusWidth_ - width, ' ');
  } else {
    flush();
  }
  if (!deliver(drawn)) failed_ = true;
  statusWidth_ = width;
  const std::string clearing = "\r" + std::string(width, ' ') + "\r";
  put(clearing);
  statusClearing_ = clearing.size();
}

}  // namespace vaultcat
