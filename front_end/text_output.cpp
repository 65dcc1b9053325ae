#include "front_end/text_output.h"

#include <charconv>
#include <string>

#include "front_end/utf8.h"

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

void TextOutput::putName(std::string_view name) {
  if (!escapeNames_) return put(name);
  // Printable characters go out a run at a time: one at a time, the long
  // listing of a million items took half as long again.
  size_t run = 0;
  while (run < name.size()) {
    if (const size_t length = utf8::printableLength(name.substr(run))) {
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
