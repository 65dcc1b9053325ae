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
#include "archive/text_output.h"
#include "front_end/cache_titles.h"
#include "front_end/command_steps.h"
#include "front_end/tree_plan.h"
#include "platform/names.h"
#include "platform/output_path.h"

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
  if (!archive.openBytes(input)) return report;
  report.opened = true;

  const std::vector<WalkedPath> paths = plannedPaths(archive, report);
  report.items = paths.size();

  CheckingSink sink(archive);
  DiscardingOutput progress;
  // What the tree command does: every file checked, then every whole file
  // written, its head from one index, against one budget. No two whole
  // files share an entry or a block, so the budget suffices for all: a file
  // found whole must be written whole.
  FileChecker checker(archive);
  BlockEntryIndex index(archive);
  ChainBudget budget(archive);
  const DataBlockHeader& blocks = archive.dataBlockHeader();
  uint64_t treeBytes = 0;
  for (const WalkedPath& walked : paths) {
    ChainBudget own(archive);
    if (const LookupResult head = index.headOf(walked.index, own);
        head.status.ok() && findBlockEntryForItem(archive, walked.index).index != head.index)
      fail("the index and the scan give different heads");
    const FileState state = checker.check(walked.index);
    uint64_t held = 0;
    for (const FileRange& range : checker.held()) held += range.length;
    if (held != state.heldBytes) fail("the checker's ranges hold other than its count");
    if (!state.whole()) continue;
    const LookupResult head = index.headOf(walked.index, budget);
    if (!head.status.ok()) fail("the head of a whole file cannot be found");
    if (head.found() &&
        !writeFileData(archive, sink, static_cast<uint32_t>(head.index), nullptr, &budget).ok())
      fail("a file found whole could not be written");
    const uint64_t written = sink.takeWritten();
    if (written != state.recordedSize) fail("a file found whole was written at another size");
    treeBytes += written;
  }
  if (treeBytes > uint64_t{blocks.dataBlockCount} * blocks.dataBlockSize)
    fail("the files of a tree copied more bytes than the data region holds");
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
    LookupResult first =
        findFirstBlockEntry(archive, static_cast<uint32_t>(item.index), walked.path, progress);
    if (first.status.damaged()) ++report.lookupDamage;
    if (!first.found()) continue;
    Status result = writeFileData(archive, sink, static_cast<uint32_t>(first.index), &progress);
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
