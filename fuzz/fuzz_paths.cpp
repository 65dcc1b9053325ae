#include "fuzz/fuzz_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/data_sink.h"
#include "archive/extraction_writer.h"
#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "front_end/cache_titles.h"
#include "front_end/command_steps.h"
#include "front_end/directory_listing.h"
#include "front_end/output_sink.h"
#include "front_end/text_output.h"
#include "front_end/tree_plan.h"
#include "platform/destination/names.h"
#include "platform/destination/output_path.h"

namespace vaultcat::fuzz {

namespace {

// A run starts below 2^32 and holds fewer than 2^32 bytes: nothing written
// for a run can end past this.
constexpr uint64_t kFurthestRunEnd = 2 * uint64_t{0xFFFFFFFF};

// Counts what is printed and keeps nothing.
class DiscardingOutput final : public TextOutput {
 public:
  ~DiscardingOutput() override { flush(); }
  uint64_t printed() {
    flush();
    return printed_;
  }

 protected:
  bool deliver(std::string_view text) override {
    printed_ += text.size();
    return true;
  }

 private:
  uint64_t printed_ = 0;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "read-path fault: %s\n", what);
  std::abort();
}

// Takes the bytes of an extracted file and checks where they come from and
// where they would go; keeps nothing. The first and last byte of each piece
// are read, so that the sanitizer sees a piece reach past the input.
class CheckingSink final : public DataSink {
 public:
  explicit CheckingSink(const CacheArchive& archive) : archive_(archive) {}

  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    uint64_t end = offset;
    for (const platform::Piece& piece : pieces) {
      const std::optional<ByteView> bytes = archive_.bytesOf(piece);
      if (!bytes) fail("a piece lies outside the cache");
      if (!bytes->empty()) touched_ = bytes->data()[0] ^ bytes->data()[bytes->size() - 1];
      if (piece.length > kFurthestRunEnd - end) fail("a write ends past any run's reach");
      end += piece.length;
      written_ += piece.length;
    }
    return {};
  }

  // Bytes written since the last call. A file is copied from its data
  // blocks once, so this may never exceed the data region: more would mean
  // the copy grows faster than the cache.
  uint64_t takeWritten() { return std::exchange(written_, 0); }

 private:
  const CacheArchive& archive_;
  uint64_t written_ = 0;
  volatile std::byte touched_{};
};

// Records where the extract command puts each piece of a file, later
// pieces over earlier ones.
class RecordingSink final : public DataSink {
 public:
  struct Placed {
    uint64_t offset;
    platform::Piece piece;
  };
  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    for (const platform::Piece& piece : pieces) {
      if (placed.size() < kMostPlaced) placed.push_back({offset, piece});
      offset += piece.length;
    }
    return {};
  }
  // Past this, a file is not compared: its map is checked by other means.
  static constexpr size_t kMostPlaced = 1024;
  std::vector<Placed> placed;
};

// The byte the extract command writes at `at` of a file, as `recorded`
// took its pieces down: 0 where none came.
std::byte writtenAt(const CacheArchive& archive, const RecordingSink& recorded, uint64_t at) {
  for (auto p = recorded.placed.rbegin(); p != recorded.placed.rend(); ++p) {
    if (at < p->offset || at - p->offset >= p->piece.length) continue;
    return archive.bytesOf({p->piece.offset + (at - p->offset), 1})->data()[0];
  }
  return std::byte{0};
}

// Checks a file's map: its extents in order, apart, inside the file and the
// cache, as many bytes as the state counts, none for a damaged file; and,
// read at a few offsets as the mount reads it, the very bytes the extract
// command writes there, and none of a damaged file.
void checkMap(const CacheArchive& archive, uint32_t item, const FileState& state,
              std::span<const FileExtent> extents) {
  uint64_t held = 0, end = 0;
  for (const FileExtent& extent : extents) {
    if (extent.offset < end || extent.length == 0) fail("the map's extents overlap or are empty");
    if (!archive.bytesOf({extent.at, extent.length})) fail("an extent lies outside the cache");
    end = extent.end();
    held += extent.length;
  }
  if (held != state.heldBytes) fail("the map holds other than the state counts");
  if (state.kind == FileState::Kind::kDamaged && !extents.empty())
    fail("the map holds bytes of a damaged file");
  if (end > state.recordedSize) fail("the map holds bytes past the file's size");
  const FileMap map(state, extents);
  RecordingSink recorded;
  const LookupResult head = findBlockEntryForItem(archive, item);
  if (head.found()) writeFileData(archive, recorded, *head.index);
  if (recorded.placed.size() == RecordingSink::kMostPlaced) return;
  uint64_t seed = item * 0x9E3779B97F4A7C15u + state.recordedSize;
  const auto next = [&](uint64_t bound) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return bound == 0 ? 0 : (seed >> 17) % bound;
  };
  for (int probe = 0; probe < 4; ++probe) {
    const uint64_t offset = next(uint64_t{state.recordedSize} + 2);
    const uint64_t length = next(2 * uint64_t{archive.fileHeader().blockSize} + 2);
    std::vector<platform::Piece> pieces;
    const bool read = map.pieces(offset, length, pieces);
    if (state.kind == FileState::Kind::kDamaged && (read || !pieces.empty()))
      fail("the map reads bytes of a damaged file");
    uint64_t at = offset, compared = 0;
    for (const platform::Piece& piece : pieces) {
      const std::optional<ByteView> given = archive.bytesOf(piece);
      if (!given) fail("the map reads a piece outside the cache");
      for (uint64_t i = 0; i < piece.length && compared < 64; ++i, ++compared)
        if (given->data()[i] != writtenAt(archive, recorded, at + i))
          fail("the map reads other bytes than the extract command writes");
      at += piece.length;
    }
    const uint64_t wanted =
        offset >= state.recordedSize ? 0 : std::min(length, state.recordedSize - offset);
    if (read && at - offset != wanted) fail("the map reads other than the bytes asked for");
  }
}

ByteView viewOf(std::span<const uint8_t> bytes) {
  return ByteView(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size());
}

struct WalkedPath {
  uint32_t index;
  std::string path;
};

// Every item as the tree command plans it, with its path from the
// destination. Aborts if the plan passes a path that could leave the
// destination, or two items of one path.
std::vector<WalkedPath> plannedPaths(const CacheArchive& archive, PathReport& report) {
  EmptyDestination destination;
  TreePlan plan(archive, {}, destination);
  std::unordered_set<std::string> seen;
  plan.forEach([&](const PlannedItem& item) {
    if (!plan.check(item)) return false;
    if (platform::outputPathFor(item.path) != item.path)
      fail("the plan passed a path that leaves the destination");
    if (!seen.insert(platform::nameKey(item.path)).second)
      fail("the plan passed two items of one path");
    return true;
  });
  // Every item, as far as the tree can be walked.
  std::vector<WalkedPath> paths;
  plan.forEach([&](const PlannedItem& item) {
    paths.push_back({item.index, item.path});
    return true;
  });
  report.listingDamage = plan.damage().damage;
  return paths;
}

}  // namespace

PathReport runListPath(std::span<const uint8_t> bytes) {
  PathReport report;
  CacheArchive archive;
  if (!archive.openBytes(viewOf(bytes))) return report;
  report.opened = true;
  CacheTitleTable titles;
  fillCacheTitles(titles);
  DiscardingOutput out;
  report.listingDamage = printListing(archive, "fuzz.gcf", titles, out).damage;
  // Each item is printed once, indented at most two spaces a level for
  // kMaxFolderDepth levels, with a name of at most kMaxPathLength bytes:
  // the listing grows with the cache, never faster.
  const uint64_t longestLine = 2 * uint64_t{kMaxFolderDepth} + kMaxPathLength + 2;
  if (out.printed() > 4096 + uint64_t{archive.itemCount()} * longestLine)
    fail("the listing is longer than the tree can be");
  return report;
}

PathReport runExtractPath(std::span<const uint8_t> bytes) {
  PathReport report;
  CacheArchive archive;
  const ByteView input = viewOf(bytes);
  // As the tree command, the check and the mount open it: a cache cut
  // short too.
  if (!archive.openBytes(input, CacheArchive::Extent::kMayBeCut)) return report;
  report.opened = true;

  const std::vector<WalkedPath> paths = plannedPaths(archive, report);
  report.items = paths.size();

  CheckingSink sink(archive);
  DiscardingOutput progress;
  // What the tree command does: every file mapped, then every whole file
  // written from its map. No two whole files share an entry or a block,
  // so together they copy no more than the data region holds.
  FileChecker checker(archive);
  BlockEntryIndex index(archive);
  const DataBlockHeader& blocks = archive.dataBlockHeader();
  uint64_t treeBytes = 0;
  for (const WalkedPath& walked : paths) {
    ChainBudget own(archive);
    if (const LookupResult head = index.headOf(walked.index, own);
        head.status.ok() && findBlockEntryForItem(archive, walked.index).index != head.index)
      fail("the index and the scan give different heads");
    const FileState state = checker.check(walked.index);
    checkMap(archive, walked.index, state, checker.extents());
    if (!state.whole()) continue;
    if (!writeExtents(checker.extents(), sink).ok())
      fail("a file found whole could not be written");
    const uint64_t written = sink.takeWritten();
    if (written != state.recordedSize) fail("a file found whole was written at another size");
    treeBytes += written;
  }
  if (treeBytes > uint64_t{blocks.dataBlockCount} * blocks.dataBlockSize)
    fail("the files of a tree copied more bytes than the data region holds");
  // The extract command opens no cache cut short.
  if (archive.missingBytes() != 0) return report;
  for (const WalkedPath& walked : paths) {
    // The extract command takes no longer path.
    if (walked.path.size() > kMaxPathLength) {
      ++report.pathsNotFound;
      continue;
    }
    // What the extract command does for the item, up to the output file.
    LookupResult item = findItem(archive, walked.path, progress);
    if (item.status.damaged()) ++report.lookupDamage;
    if (!item.found()) {
      if (!item.status.damaged()) ++report.pathsNotFound;
      continue;
    }
    if (item.index != walked.index) ++report.pathsNotFound;
    LookupResult first = findFirstBlockEntry(archive, *item.index, walked.path, progress);
    if (first.status.damaged()) ++report.lookupDamage;
    if (!first.found()) continue;
    BlockLines lines(sink, progress);
    Status result = writeFileData(archive, lines, *first.index);
    if (sink.takeWritten() > uint64_t{blocks.dataBlockCount} * blocks.dataBlockSize)
      fail("a file copied more bytes than the data region holds");
    if (result.ok()) {
      ++report.extractions;
    } else {
      ++report.extractionFailures;
    }
  }
  return report;
}

}  // namespace vaultcat::fuzz
