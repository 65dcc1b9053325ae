// Where the reader's text and extracted bytes go.
//
// The reader never reaches for a global stream: the front end owns one
// TextOutput for everything the user reads and hands it to whatever prints,
// and the extraction writer is given a DataSink for the file's bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "archive/byte_view.h"

namespace vaultcat {

// Buffered text output. Text collects in a fixed buffer and is handed to
// deliver() when the buffer fills and on flush(); the numbers are formatted
// here, without printf, because listing and extraction print one line per
// item or block. A failed delivery is remembered: flush() reports it.
class TextOutput {
 public:
  TextOutput();
  virtual ~TextOutput() = default;
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void put(std::string_view text) {
    const size_t used = used_.load(std::memory_order_relaxed);
    if (text.size() <= kBufferSize - used) {
      text.copy(buffer_.get() + used, text.size());
      used_.store(used + text.size(), std::memory_order_release);
    } else {
      putLarge(text);
    }
  }
  void put(char c) {
    if (used_.load(std::memory_order_relaxed) == kBufferSize) flush();
    const size_t used = used_.load(std::memory_order_relaxed);
    buffer_[used] = c;
    used_.store(used + 1, std::memory_order_release);
  }
  void putSigned(int64_t value);
  void putUnsigned(uint64_t value);
  void putSpaces(uint64_t count);

  // Hands everything buffered to deliver(). False if any text since the
  // start failed to arrive.
  bool flush();

 protected:
  // Receives buffered text in order; false if it did not all arrive.
  // Derived classes call flush() in their destructors, since this base
  // cannot call deliver() from its own.
  virtual bool deliver(std::string_view text) = 0;
  void markFailed() { failed_ = true; }

  // The text not yet delivered is buffer()[0, used()). A signal handler
  // may read both at any moment: text is always stored before the count
  // that covers it.
  const char* buffer() const { return buffer_.get(); }
  const std::atomic<size_t>& used() const { return used_; }

 private:
  static constexpr size_t kBufferSize = size_t{1} << 16;
  void putLarge(std::string_view text);

  std::unique_ptr<char[]> buffer_;
  std::atomic<size_t> used_ = 0;
  bool failed_ = false;
};

// Keeps everything printed in a string: for tests and for the fuzzers.
class StringOutput final : public TextOutput {
 public:
  ~StringOutput() override = default;
  const std::string& text() {
    flush();
    return text_;
  }

 protected:
  bool deliver(std::string_view text) override {
    text_.append(text);
    return true;
  }

 private:
  std::string text_;
};

// How a write of pieces of the cache ended.
enum class WriteStatus {
  kWritten,         // every byte reached the output
  kOutputFailed,    // the output refused bytes
  kCacheUnreadable  // the pieces could not be read: the cache shrank or its disk failed
};

// The bytes of an extracted file go to a DataSink.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // Writes the pieces one after another, the first at `offset` from the
  // start of the output. Regions never written, below the highest byte
  // written, read as zeros.
  virtual WriteStatus writeAt(uint64_t offset, std::span<const ByteView> pieces) = 0;
};

}  // namespace vaultcat
