#include "archive/file_check.h"

#include <algorithm>

#include "archive/damage_text.h"
#include "archive/extraction_writer.h"

namespace vaultcat {

namespace {

// Takes down where the chains put each piece, and reads none of them.
class ExtentSink final : public DataSink {
 public:
  explicit ExtentSink(std::vector<FileExtent>& extents) : extents_(extents) {}
  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    for (const platform::Piece& piece : pieces) {
      if (piece.length > 0) extents_.push_back({offset, piece.offset, piece.length});
      offset += piece.length;
    }
    return {};
  }

 private:
  std::vector<FileExtent>& extents_;
};

}  // namespace

FileChecker::FileChecker(const CacheArchive& archive)
    : archive_(archive), index_(archive), owners_(archive) {}

FileState FileChecker::check(uint32_t item) {
  extents_.clear();
  const std::optional<DirectoryEntry> entry = archive_.directoryEntry(item);
  if (!entry) return damaged(damage_text::folderOutsideDirectory(item, archive_.itemCount()), 0);
  const uint32_t recorded = entry->itemSize;
  owners_.begin(item);
  const LookupResult head = index_.headOf(item, owners_);
  if (!head.status.ok()) return damaged(head.status, recorded);
  if (head.found()) {
    ExtentSink sink(extents_);
    const Status walked = writeFileData(archive_, sink, *head.index, &owners_);
    if (!walked.ok()) return damaged(walked, recorded);
  }
  if (const std::optional<uint64_t> overlap = normaliseExtents())
    return damaged(damage_text::runsOverlap(*overlap), recorded);
  FileState state;
  state.recordedSize = recorded;
  for (const FileExtent& extent : extents_) state.heldBytes += extent.length;
  const uint64_t end = extents_.empty() ? 0 : extents_.back().end();
  if (end > recorded) return damaged(damage_text::runsPastSize(end, recorded), recorded);
  // Nothing overlaps and nothing lies past the end: the bytes held are the
  // recorded size only when they cover it all.
  state.kind = state.heldBytes == recorded ? FileState::Kind::kWhole : FileState::Kind::kIncomplete;
  return state;
}

FileState FileChecker::damaged(Status damage, uint32_t recordedSize) {
  extents_.clear();
  FileState state;
  state.kind = FileState::Kind::kDamaged;
  state.recordedSize = recordedSize;
  state.damage = std::move(damage);
  return state;
}

// Puts the extents in order of offset and joins those that follow each
// other both in the file and in the cache. Answers where the first overlap
// is, if any: in a sound file each byte has one run.
std::optional<uint64_t> FileChecker::normaliseExtents() {
  const auto byOffset = [](const FileExtent& a, const FileExtent& b) {
    return a.offset < b.offset;
  };
  // The pieces of a file's runs mostly come in order already.
  if (!std::is_sorted(extents_.begin(), extents_.end(), byOffset))
    std::stable_sort(extents_.begin(), extents_.end(), byOffset);
  size_t kept = 0;
  for (const FileExtent& extent : extents_) {
    FileExtent* last = kept > 0 ? &extents_[kept - 1] : nullptr;
    if (last != nullptr && extent.offset < last->end()) return extent.offset;
    if (last != nullptr && extent.offset == last->end() && extent.at == last->at + last->length) {
      last->length += extent.length;
    } else {
      extents_[kept++] = extent;
    }
  }
  extents_.resize(kept);
  return std::nullopt;
}

Status writeExtents(std::span<const FileExtent> extents, DataSink& output) {
  // Extents that follow each other in the file go out together, a batch
  // at a time, as the pieces of one run do.
  constexpr size_t kBatch = 1024;
  std::vector<platform::Piece> pieces;
  uint64_t offset = 0, end = 0;
  const auto send = [&]() -> Status {
    Status status = pieces.empty() ? Status{} : output.writeAt(offset, pieces);
    pieces.clear();
    return status;
  };
  for (const FileExtent& extent : extents) {
    if (extent.offset != end || pieces.size() == kBatch) {
      if (Status status = send(); !status.ok()) return status;
      offset = extent.offset;
    }
    if (pieces.capacity() == 0) pieces.reserve(std::min(kBatch, extents.size()));
    pieces.push_back({extent.at, extent.length});
    end = extent.end();
  }
  if (Status status = send(); !status.ok()) return status;
  return output.flush();
}

bool FileMap::pieces(uint64_t offset, uint64_t length, std::vector<platform::Piece>& out) const {
  if (state_.kind == FileState::Kind::kDamaged) return false;
  const uint64_t size = state_.recordedSize;
  if (offset >= size) return true;
  const uint64_t end = offset + std::min(length, size - offset);
  // The last extent that starts at or before `offset`.
  auto extent = std::upper_bound(extents_.begin(), extents_.end(), offset,
                                 [](uint64_t at, const FileExtent& e) { return at < e.offset; });
  if (extent == extents_.begin()) return offset == end;
  --extent;
  for (uint64_t at = offset; at < end; ++extent) {
    if (extent == extents_.end() || extent->offset > at || extent->end() <= at) return false;
    const uint64_t skip = at - extent->offset;
    const uint64_t take = std::min(extent->length - skip, end - at);
    out.push_back({extent->at + skip, take});
    at += take;
  }
  return true;
}

}  // namespace vaultcat
