// An output of the system layer (a file, or a file of a tree) as the
// extraction writer's sink: what the system says went wrong, in the
// reader's terms.
#pragma once

#include <algorithm>

#include "archive/damage_text.h"
#include "archive/data_sink.h"
#include "front_end/progress.h"
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
      default:
        return {Status::Kind::kOutputFailed, {}};
    }
  }

  Output& file_;
  Progress* progress_;
  uint64_t size_ = 0;
};

}  // namespace vaultcat
