// The output file as the extraction writer's sink: what the system says
// went wrong, in the reader's terms.
#pragma once

#include "archive/damage_text.h"
#include "archive/data_sink.h"
#include "platform/output_file.h"

namespace vaultcat {

class OutputSink final : public DataSink {
 public:
  explicit OutputSink(platform::OutputFile& file) : file_(file) {}

  Status writeAt(uint64_t offset, std::span<const Piece> pieces) override {
    switch (file_.writeAt(offset, pieces).kind) {
      case platform::WriteStatus::Kind::kOk:
        return {};
      case platform::WriteStatus::Kind::kSourceUnreadable:
        return damage_text::cacheUnreadable();
      default:
        return {Status::Kind::kOutputFailed, {}};
    }
  }

 private:
  platform::OutputFile& file_;
};

}  // namespace vaultcat
