#include "archive/file_check.h"

#include <algorithm>

#include "archive/damage_text.h"
#include "archive/extraction_writer.h"

namespace vaultcat {

namespace {

// Takes down where each run's bytes would go, and touches none of them.
class RangeSink final : public DataSink {
 public:
  explicit RangeSink(std::vector<FileRange>& ranges) : ranges_(ranges) {}
  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    uint64_t length = 0;
    for (const platform::Piece& piece : pieces) length += piece.length;
    ranges_.push_back({offset, length});
    return {};
  }

 private:
  std::vector<FileRange>& ranges_;
};

}  // namespace

FileChecker::FileChecker(const CacheArchive& archive)
    : archive_(archive), index_(archive), owners_(archive) {}

FileState FileChecker::check(uint32_t item) {
  held_.clear();
  const std::optional<DirectoryEntry> entry = archive_.directoryEntry(item);
  if (!entry) return damaged(damage_text::folderOutsideDirectory(item, archive_.itemCount()), 0);
  const uint32_t recorded = entry->itemSize;
  owners_.begin(item);
  const LookupResult head = index_.headOf(item, owners_);
  if (!head.status.ok()) return damaged(head.status, recorded);
  if (head.found()) {
    RangeSink sink(held_);
    const Status walked =
        writeFileData(archive_, sink, static_cast<uint32_t>(head.index), nullptr, &owners_);
    if (!walked.ok()) return damaged(walked, recorded);
  }
  if (const std::optional<uint64_t> overlap = normaliseHeld())
    return damaged(damage_text::runsOverlap(*overlap), recorded);
  FileState state;
  state.recordedSize = recorded;
  for (const FileRange& range : held_) state.heldBytes += range.length;
  const uint64_t end = held_.empty() ? 0 : held_.back().offset + held_.back().length;
  if (end > recorded) return damaged(damage_text::runsPastSize(end, recorded), recorded);
  // Nothing overlaps and nothing lies past the end: the bytes held are the
  // recorded size only when they cover it all.
  state.kind = state.heldBytes == recorded ? FileState::Kind::kWhole : FileState::Kind::kIncomplete;
  return state;
}

FileState FileChecker::damaged(Status damage, uint32_t recordedSize) {
  held_.clear();
  FileState state;
  state.kind = FileState::Kind::kDamaged;
  state.recordedSize = recordedSize;
  state.damage = std::move(damage);
  return state;
}

// Sorts the ranges and joins those that touch or overlap. Answers where
// the first overlap is, if any: in a sound file each byte has one run.
std::optional<uint64_t> FileChecker::normaliseHeld() {
  if (held_.size() < 2) {
    if (!held_.empty() && held_[0].length == 0) held_.clear();
    return std::nullopt;
  }
  std::sort(held_.begin(), held_.end(),
            [](const FileRange& a, const FileRange& b) { return a.offset < b.offset; });
  std::optional<uint64_t> overlap;
  size_t kept = 0;
  for (const FileRange& range : held_) {
    if (range.length == 0) continue;
    FileRange* last = kept > 0 ? &held_[kept - 1] : nullptr;
    const uint64_t lastEnd = last != nullptr ? last->offset + last->length : 0;
    if (last == nullptr || range.offset > lastEnd) {
      held_[kept++] = range;
      continue;
    }
    if (range.offset < lastEnd && !overlap) overlap = range.offset;
    last->length = std::max(lastEnd, range.offset + range.length) - last->offset;
  }
  held_.resize(kept);
  return overlap;
}

}  // namespace vaultcat
