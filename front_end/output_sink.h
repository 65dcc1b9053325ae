// The extraction writer's sinks of the front end: an output of the system
// layer (a file, or a file of a tree), with what the system says went wrong
// in the reader's terms; and the lines the extract command shows of a copy.
#pragma once

#include <algorithm>

#include "archive/damage_text.h"
#include "archive/data_sink.h"
#include "front_end/progress.h"
#include "front_end/text_output.h"
#include "platform/source/piece_writer.h"

namespace vaultcat {

template <class Output>
class OutputSink final : public DataSink {
 public:
  // `progress`, if given, is told of the bytes handed on.
  explicit OutputSink(Output& file, Progress* progress = nullptr)
      : file_(file), progress_(progress) {}

  // The length of the file so far: the end of the furthest piece written.
  uint64_t size() const { return size_; }

  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    uint64_t end = offset;
    for (const platform::Piece& piece : pieces) end += piece.length;
    size_ = std::max(size_, end);
    if (progress_ != nullptr) progress_->done(0, end - offset);
    return inReadersTerms(file_.writeAt(offset, pieces));
  }

  Status flush() override { return inReadersTerms(file_.flush()); }

 private:
  static Status inReadersTerms(platform::WriteStatus status) {
    switch (status.kind) {
      case platform::WriteStatus::Kind::kOk:
        return {};
      case platform::WriteStatus::Kind::kSourceUnreadable:
        return damage_text::cacheUnreadable();
      case platform::WriteStatus::Kind::kStopped:
        return {Status::Kind::kStopped, {}};
      case platform::WriteStatus::Kind::kOutputFailed:
        break;
    }
    return {Status::Kind::kOutputFailed, {}};
  }

  Output& file_;
  Progress* progress_;
  uint64_t size_ = 0;
};

// What the extract command shows of a copy into `sink`: a line for each
// block entry and each data block as the copy meets them.
class BlockLines final : public DataSink {
 public:
  BlockLines(DataSink& sink, TextOutput& out) : sink_(sink), out_(out) {}

  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    return sink_.writeAt(offset, pieces);
  }
  Status flush() override { return sink_.flush(); }
  void metRun(uint32_t entry, uint32_t offset, uint32_t size) override {
    out_.print("Writing block ", entry, " (offset ", offset, ", size ", size, ")\n");
  }
  void metBlock(uint32_t block, uint32_t bytes) override {
    out_.print("Writing fragment ", block, " (size ", bytes, ")\n");
  }

 private:
  DataSink& sink_;
  TextOutput& out_;
};

}  // namespace vaultcat
