// Where the reader's text and extracted bytes go.
//
// The reader never reaches for a global stream: the front end owns one
// TextOutput for everything the user reads and hands it to whatever prints,
// and the extraction writer is given a DataSink for the file's bytes.
#pragma once

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
// item or block.
class TextOutput {
 public:
  TextOutput();
  virtual ~TextOutput() = default;
  TextOutput(const TextOutput&) = delete;
  TextOutput& operator=(const TextOutput&) = delete;

  void put(std::string_view text) {
    if (text.size() <= kBufferSize - used_) {
      text.copy(buffer_.get() + used_, text.size());
      used_ += text.size();
    } else {
      putLarge(text);
    }
  }
  void put(char c) {
    if (used_ == kBufferSize) flush();
    buffer_[used_++] = c;
  }
  void putSigned(int64_t value);
  void putUnsigned(uint64_t value);
  void putSpaces(uint64_t count);

  // Hands everything buffered to deliver().
  void flush();

 protected:
  // Receives buffered text in order. Derived classes call flush() in their
  // destructors, since this base cannot call deliver() from its own.
  virtual void deliver(std::string_view text) = 0;

 private:
  static constexpr size_t kBufferSize = size_t{1} << 16;
  void putLarge(std::string_view text);

  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
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
  void deliver(std::string_view text) override { text_.append(text); }

 private:
  std::string text_;
};

// The bytes of an extracted file go to a DataSink.
class DataSink {
 public:
  virtual ~DataSink() = default;
  // Writes the pieces one after another, the first at `offset` from the
  // start of the output. Regions never written, below the highest byte
  // written, read as zeros. False if the bytes did not all reach the output.
  virtual bool writeAt(uint64_t offset, std::span<const ByteView> pieces) = 0;
};

}  // namespace vaultcat
