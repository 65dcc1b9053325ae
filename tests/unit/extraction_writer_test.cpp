// The extraction writer into an in-memory sink: how runs are cut into
// chunks, where each run lands, and how broken chains and a refusing output
// end the copy.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "archive/file_check.h"
#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

using testsupport::sampleBytes;

using Kind = Status::Kind;

TEST(ExtractionWriterChunks, TheChainDecidesTheBlocksAndTheRunSizeTheBytes) {
  CacheBuilder builder;  // 8192-byte blocks, handed out in order
  const uint32_t big = builder.addFile(0, "big", sampleBytes(20000, 1));
  const uint32_t longChain = builder.addFile(0, "long", RunList{{0, sampleBytes(16384, 2), 1}});
  const uint32_t shortChain = builder.addFile(0, "short", sampleBytes(20000, 3));
  CacheImage image = builder.build();
  image.set32(image.layout().fragment(6), 0xFFFF);  // short's chain ends after one block
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);

  const Extraction b = extract(cache.archive, 0);
  EXPECT_TRUE(b.result.ok());
  EXPECT_EQ(b.progress,
            "Writing block 0 (offset 0, size 20000)\n"
            "Writing fragment 0 (size 8192)\n"
            "Writing fragment 1 (size 8192)\n"
            "Writing fragment 2 (size 3616)\n");
  EXPECT_EQ(b.sink.content(), image.expectedContent(big));
  // An output that refuses the bytes is a write failure, not damage.
  EXPECT_EQ(extract(cache.archive, 0, /*failingSink=*/true).result.kind, Kind::kOutputFailed);

  // A block past the run's size still gets its line but gives no bytes.
  const Extraction l = extract(cache.archive, 1);
  EXPECT_TRUE(l.result.ok());
  EXPECT_EQ(l.progress,
            "Writing block 1 (offset 0, size 16384)\n"
            "Writing fragment 3 (size 8192)\n"
            "Writing fragment 4 (size 8192)\n"
            "Writing fragment 5 (size 0)\n");
  EXPECT_EQ(l.sink.content(), image.expectedContent(longChain));

  // A chain that ends early leaves the run short.
  const Extraction s = extract(cache.archive, 2);
  EXPECT_TRUE(s.result.ok());
  EXPECT_EQ(s.progress, "Writing block 2 (offset 0, size 20000)\nWriting fragment 6 (size 8192)\n");
  EXPECT_EQ(s.sink.content(), image.expectedContent(shortChain).substr(0, 8192));
}

TEST(ExtractionWriterRuns, EachRunLandsAtItsOwnOffset) {
  CacheBuilder builder;
  builder.shuffleDataBlocks(5);
  const std::string head = sampleBytes(8192, 4), tail = sampleBytes(3000, 5);
  const uint32_t forward = builder.addFile(0, "forward", RunList{{0, head}, {8192, tail}});
  const uint32_t backward = builder.addFile(0, "backward", RunList{{8192, tail}, {0, head}});
  const uint32_t holes = builder.addFile(0, "holes", RunList{{0, "abc"}, {10000, "xyz"}});
  const uint32_t empty = builder.addFile(0, "empty", "");
  const CacheImage image = builder.build();
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);
  auto extractItem = [&](uint32_t item) {
    Extraction e = extract(cache.archive, image.blockEntriesOf(item).at(0));
    EXPECT_TRUE(e.result.ok()) << item << ": " << e.result.damage;
    return e;
  };

  EXPECT_EQ(extractItem(forward).sink.content(), head + tail);
  EXPECT_EQ(extractItem(backward).sink.content(), head + tail);

  // Nothing is written into a hole; the output leaves it to read as zeros.
  EXPECT_EQ(extractItem(holes).sink.writes,
            (std::vector<MemorySink::Write>{{0, "abc"}, {10000, "xyz"}}));

  const Extraction e = extractItem(empty);
  EXPECT_EQ(e.progress, "Writing block " + std::to_string(image.blockEntriesOf(empty)[0]) +
                            " (offset 0, size 0)\n");
  EXPECT_TRUE(e.sink.writes.empty());

  // The table's size as the first entry is an empty chain.
  const Extraction none = extract(cache.archive, image.layout().blockEntryCount);
  EXPECT_TRUE(none.result.ok());
  EXPECT_EQ(none.progress, "");
  EXPECT_TRUE(none.sink.writes.empty());
}

TEST(ExtractionWriterRuns, ARunScatteredOverThousandsOfBlocksComesOutWhole) {
  CacheBuilder builder;
  builder.blockSize(16).shuffleDataBlocks(11);
  const uint32_t item = builder.addFile(0, "scattered", sampleBytes(16 * 3000 - 5, 3));
  const CacheImage image = builder.build();
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);
  const Extraction e = extract(cache.archive, 0);
  EXPECT_TRUE(e.result.ok());
  EXPECT_EQ(e.sink.content(), image.expectedContent(item));
}

TEST(ExtractionWriterDamage, BrokenChainsEndTheCopyWithAReport) {
  // f: blocks 0-2 (entry 0); two: runs in blocks 3 and 4 (entries 1, 2);
  // tail: blocks 5 and 6, the last bytes of the file (entry 3).
  CacheBuilder builder;
  builder.blockSize(512);
  builder.addFile(0, "f", sampleBytes(1300, 6));
  builder.addFile(0, "two", RunList{{0, sampleBytes(512, 7)}, {512, sampleBytes(100, 8)}});
  builder.addFile(0, "tail", sampleBytes(1024, 9));
  const CacheImage good = builder.build();
  const CacheLayout& l = good.layout();
  ASSERT_EQ(l.dataBlockCount, 7u);
  ASSERT_EQ(l.blockEntryCount, 4u);

  // Where the lines printed before the report are given, a bad block or
  // entry must be refused before its own line is printed.
  struct Case {
    const char* what;
    std::function<void(CacheImage&)> damage;
    uint32_t firstEntry;
    const char* progress;  // nullptr: only bounded
  };
  const Case cases[] = {
      {"f's first data block is the data block count",
       [&](CacheImage& i) { i.set32(l.blockEntry(0, kFirstDataBlock), l.dataBlockCount); }, 0,
       "Writing block 0 (offset 0, size 1300)\n"},
      {"f's second block lies inside the data region but past the fragmentation map",
       [&](CacheImage& i) {
         i.truncate(i.size() + l.dataBlockSize);
         i.set32(l.field(kDataBlockCount), l.dataBlockCount + 1);
         i.set32(l.fragment(0), l.dataBlockCount);
       },
       0, "Writing block 0 (offset 0, size 1300)\nWriting fragment 0 (size 512)\n"},
      {"the data block count leaves out tail's second block, though the map has it",
       [&](CacheImage& i) { i.set32(l.field(kDataBlockCount), l.dataBlockCount - 1); }, 3,
       "Writing block 3 (offset 0, size 1024)\nWriting fragment 5 (size 512)\n"},
      {"f's last block leads back to its first", [&](CacheImage& i) { i.set32(l.fragment(2), 0); },
       0, nullptr},
      {"f's first block is its own successor", [&](CacheImage& i) { i.set32(l.fragment(0), 0); }, 0,
       nullptr},
      {"two's second run leads back to its first",
       [&](CacheImage& i) { i.set32(l.blockEntry(2, kNextEntry), 1); }, 1, nullptr},
      {"two's first run leads to an entry past the table",
       [&](CacheImage& i) { i.set32(l.blockEntry(1, kNextEntry), l.blockEntryCount + 5); }, 1,
       "Writing block 1 (offset 0, size 512)\nWriting fragment 3 (size 512)\n"},
      {"the first entry itself lies past the table", [](CacheImage&) {}, 5, ""},
      {"the file header's block size is one byte past the data block size: every chunk would "
       "read its neighbour's bytes too, so a crafted file could copy without end",
       [&](CacheImage& i) {
         i.set32(l.field(kBlockSize), l.dataBlockSize + 1);
         i.set32(l.blockEntry(3, kFileDataSize), 4096);
       },
       3, "Writing block 3 (offset 0, size 4096)\nWriting fragment 5 (size 513)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CacheImage image = good;
    c.damage(image);
    LoadedCache cache(image);
    ASSERT_TRUE(cache.opened);
    const Extraction e = extract(cache.archive, c.firstEntry);
    EXPECT_EQ(e.result.kind, Kind::kDamaged);
    EXPECT_FALSE(e.result.damage.empty());
    if (c.progress != nullptr) {
      EXPECT_EQ(e.progress, c.progress);
    }
    EXPECT_LT(std::count(e.progress.begin(), e.progress.end(), '\n'), 20);
  }
}

// The files of a tree share one budget: once a loop has spent it, every
// later file stops at once, a sound one too, though the blocks left would
// hold it, so that a cache whose chains all loop costs no more than the
// table is long. The walks back of the block-entry index spend it alike.
TEST(ExtractionWriterDamage, ALoopSpendsTheBudgetOfEveryFileThatSharesIt) {
  CacheBuilder builder;
  builder.blockSize(512);
  const uint32_t loop =
      builder.addFile(0, "loop", RunList{{0, sampleBytes(512, 6)}, {512, sampleBytes(100, 7)}});
  const uint32_t sound = builder.addFile(0, "sound", sampleBytes(1300, 8));
  builder.addFile(0, "spare", sampleBytes(1300, 9));
  CacheImage image = builder.build();
  const std::vector<uint32_t> runs = image.blockEntriesOf(loop);
  ASSERT_EQ(runs.size(), 2u);
  image.set32(image.layout().blockEntry(runs[1], kNextEntry), runs[0]);      // a ring forward
  image.set32(image.layout().blockEntry(runs[0], kPreviousEntry), runs[1]);  // and back
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);
  const uint32_t soundHead = image.blockEntriesOf(sound).at(0);
  ASSERT_TRUE(extract(cache.archive, soundHead).result.ok());

  ChainBudget budget(cache.archive);
  BlockEntryIndex index(cache.archive);
  for (const uint32_t head : {runs[0], soundHead, soundHead}) {
    SCOPED_TRACE(head);
    EXPECT_TRUE(index.headOf(loop, budget).status.damaged());
    MemorySink sink(cache.archive);
    EXPECT_TRUE(writeFileData(cache.archive, sink, head, &budget).damaged());
  }
}

// Checking, unlike extracting, gives each entry and block to the first file
// that reaches it: a loop costs only its own file, the files after it are
// still whole, a file that runs into another's blocks is damaged, and a
// file checked again is as it was.
TEST(FileCheck, EachFileIsWholeIncompleteOrDamagedWhateverTheFilesBeforeIt) {
  CacheBuilder builder;
  builder.blockSize(512);
  const uint32_t loop =
      builder.addFile(0, "loop", RunList{{0, sampleBytes(512, 6)}, {512, sampleBytes(100, 7)}});
  const uint32_t sound =
      builder.addFile(0, "sound", RunList{{700, sampleBytes(600, 8)}, {0, sampleBytes(700, 9)}});
  const uint32_t holes =
      builder.addFile(0, "holes", RunList{{0, sampleBytes(100, 10)}, {1000, sampleBytes(100, 11)}});
  const uint32_t overlap = builder.addFile(
      0, "overlap", RunList{{0, sampleBytes(600, 12)}, {599, sampleBytes(200, 13)}});
  const uint32_t intruder = builder.addFile(0, "intruder", sampleBytes(1300, 14));
  const uint32_t shortByOne = builder.addFile(0, "short", sampleBytes(700, 15));
  CacheImage image = builder.build();
  const CacheLayout& l = image.layout();
  const std::vector<uint32_t> runs = image.blockEntriesOf(loop);
  image.set32(l.blockEntry(runs[1], kNextEntry), runs[0]);
  image.set32(l.blockEntry(runs[0], kPreviousEntry), runs[1]);
  const uint32_t soundBlock = image.chainOf(image.blockEntriesOf(sound)[0])[0];
  image.set32(l.fragment(image.chainOf(image.blockEntriesOf(intruder)[0])[0]), soundBlock);
  image.set32(l.directoryEntry(shortByOne, kItemSize), 701);
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);

  using K = FileState::Kind;
  using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;  // offset, length
  struct Case {
    uint32_t item;
    K kind;
    std::string damage;
    Ranges held;
  };
  const Case cases[] = {
      {loop, K::kDamaged, "the block entries of item 1 link back in a loop", {}},
      {sound, K::kWhole, "", {{0, 1300}}},
      {holes, K::kIncomplete, "", {{0, 100}, {1000, 100}}},
      {overlap, K::kDamaged, "the runs of the file overlap at byte 599", {}},
      {shortByOne, K::kIncomplete, "", {{0, 700}}},
      {intruder,
       K::kDamaged,
       "data block " + std::to_string(soundBlock) + " is also in another file's chain",
       {}},
      {sound, K::kWhole, "", {{0, 1300}}},
  };
  FileChecker checker(cache.archive);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    const FileState state = checker.check(c.item);
    EXPECT_EQ(state.kind, c.kind);
    EXPECT_EQ(state.damage.damage, c.damage);
    // Each extent gives the file's own bytes, and together they cover
    // what the cache holds of it.
    const std::string content = c.kind == K::kDamaged ? "" : image.expectedContent(c.item);
    Ranges held;
    for (const FileExtent& extent : checker.extents()) {
      const std::optional<ByteView> bytes = cache.archive.bytesOf({extent.at, extent.length});
      ASSERT_TRUE(bytes.has_value());
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size()),
                content.substr(extent.offset, extent.length));
      if (!held.empty() && held.back().first + held.back().second == extent.offset) {
        held.back().second += extent.length;
      } else {
        held.emplace_back(extent.offset, extent.length);
      }
    }
    EXPECT_EQ(held, c.held);
  }
}

}  // namespace
}  // namespace vaultcat::unittest
