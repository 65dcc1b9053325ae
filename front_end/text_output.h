// Where the text the user reads goes. Nothing reaches for a global
// stream: the front end owns one TextOutput and hands it to whatever
// prints, all of it in the front end (the format layer prints nothing).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace vaultcat {

// A name or path from the cache or the command line, printed as it is
// except where it would control a terminal.
struct Name {
  std::string_view text;
};

// Buffered text output. Text collects in a fixed buffer and is handed to
// deliver() when the buffer fills and on flush(); the numbers are formatted
// here, without printf, because listing and extraction print one line per
// item or block. A failed delivery is remembered: flush() reports it.
class TextOutput {
 public:
  virtual ~TextOutput() = default;
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void put(std::string_view text) {
    const size_t used = used_.load(std::memory_order_relaxed);
    if (text.size() <= kBufferSize - used) {
      text.copy(buffer_ + used, text.size());
      used_.store(used + text.size(), std::memory_order_release);
    } else {
      putLarge(text);
    }
  }
  void put(char c) { put(std::string_view(&c, 1)); }
  void putSigned(int64_t value) { putNumber(value); }
  void putUnsigned(uint64_t value) { putNumber(value); }
  void putSpaces(uint64_t count);
  // Puts `name`; where names are escaped, its control characters, and bytes
  // that are not UTF-8, as backslash and three octal digits.
  void putName(std::string_view name);
  // Whether names are escaped from here on: always on a terminal, where
  // their bytes must not act on it, and for the commands that ask (the tree
  // command, the check, the long listing), where a name holding a line break
  // could pass for a line of its own. l and x print names as stored in a
  // pipe, as they always have, and so does the listing for scripts; once
  // asked for, escaping stays, so that nothing reaches a terminal raw.
  void escapeNames() { escapeNames_ = true; }
  // Puts each part in turn: texts as they are, names as putName() does,
  // integers in decimal.
  template <class... Parts>
  void print(const Parts&... parts) {
    (putPart(parts), ...);
  }

  // Hands everything buffered to deliver(). False if any text since the
  // start failed to arrive.
  bool flush();

  // Draws `line`, `width` columns wide, as the one status line of a
  // terminal, over the one drawn before unless text came between them. Text
  // put after it begins by clearing it, even text a fault handler writes.
  void showStatus(std::string_view line, uint64_t width);
  // Says `line` where the user still reads it once standard output can no
  // longer carry it; the console's goes to standard error.
  virtual void sayAside(std::string_view line) { put(line); }

 protected:
  static constexpr size_t kBufferSize = size_t{1} << 16;
  // Collects text in a buffer of its own.
  TextOutput();
  // Collects text in `buffer`, kBufferSize bytes, counting it in `used`;
  // both belong to the derived class, which may let another context read
  // buffer[0, used) at any moment: text is always stored before the count
  // that covers it.
  TextOutput(char* buffer, std::atomic<size_t>& used) : buffer_(buffer), used_(used) {}

  // Receives buffered text in order; false if it did not all arrive.
  // Derived classes call flush() in their destructors, since this base
  // cannot call deliver() from its own.
  virtual bool deliver(std::string_view text) = 0;
  void markFailed() { failed_ = true; }

 private:
  void putLarge(std::string_view text);
  template <class Part>
  void putPart(const Part& part) {
    if constexpr (std::is_same_v<Part, char>) {
      put(part);
    } else if constexpr (std::is_same_v<Part, Name>) {
      putName(part.text);
    } else if constexpr (std::is_integral_v<Part> && std::is_signed_v<Part>) {
      putSigned(part);
    } else if constexpr (std::is_integral_v<Part>) {
      putUnsigned(part);
    } else {
      put(std::string_view(part));
    }
  }
  template <class Number>
  void putNumber(Number value);

  std::unique_ptr<char[]> ownBuffer_;  // where no buffer is given
  std::atomic<size_t> ownUsed_ = 0;
  char* buffer_;
  std::atomic<size_t>& used_;
  bool failed_ = false;
  bool escapeNames_ = false;
  // The status line on the terminal: its width, and the length of the text
  // that clears it at the start of the buffer (0 once that went out).
  uint64_t statusWidth_ = 0;
  size_t statusClearing_ = 0;
};

// A TextOutput that keeps what is printed in a string: for a test, or for
// text that is measured before it is shown.
class StringOutput final : public TextOutput {
 public:
  ~StringOutput() override { flush(); }
  // Everything printed since the start, or since clear().
  const std::string& text() {
    flush();
    return text_;
  }
  void clear() {
    flush();
    text_.clear();
  }

 protected:
  bool deliver(std::string_view text) override {
    text_.append(text);
    return true;
  }

 private:
  std::string text_;
};

}  // namespace vaultcat
