#include "archive/text_output.h"

#include <charconv>

namespace vaultcat {

TextOutput::TextOutput() : buffer_(std::make_unique<char[]>(kBufferSize)) {}

void TextOutput::putLarge(std::string_view text) {
  flush();
  if (text.size() < kBufferSize) {
    text.copy(buffer_.get(), text.size());
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

bool TextOutput::flush() {
  const size_t n = used_.load(std::memory_order_relaxed);
  if (n > 0 && !deliver(std::string_view(buffer_.get(), n))) failed_ = true;
  used_.store(0, std::memory_order_release);
  return !failed_;
}

}  // namespace vaultcat
