// Checks of the test cache writer itself: its images are decoded here with
// nothing but little-endian word reads, independently of the reader. The
// walk reads headers by field name, so it checks the names as well.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/cache_writer.h"

namespace vaultcat::testsupport {
namespace {

using namespace fields;
using Bytes = std::vector<std::byte>;

TEST(CacheWriterLayout, SectionWalkLandsWhereTheLayoutSays) {
  for (uint32_t version : {5u, 6u}) {
    SCOPED_TRACE(version);
    CacheBuilder builder(version);
    builder.cacheId(0x80000007).blockSize(512).directoryPadding(12).dataPadding(40);
    const uint32_t docs = builder.addFolder(0, "docs");
    builder.addFile(docs, "a.txt", sampleBytes(1300, 1));
    builder.addFile(0, "empty", "");
    builder.addFile(0, "b.bin", sampleBytes(10, 2));
    const CacheImage image = builder.build();
    const CacheLayout& l = image.layout();
    auto w = [&](uint64_t at) { return image.get32(at); };

    EXPECT_EQ(w(kFormatVersion), version);
    EXPECT_EQ(w(kCacheId), 0x80000007u);
    EXPECT_EQ(w(kBlockSize), 512u);
    EXPECT_EQ(l.blockEntryHeader, 44u);
    const uint32_t entries = w(44);
    EXPECT_EQ(entries, 3u);  // one entry per file, none for folders
    EXPECT_EQ(w(kBlockCount), entries);
    EXPECT_EQ(l.blockEntries, 76u);
    const uint64_t fragHeader = 76 + 28ULL * entries;
    EXPECT_EQ(l.fragmentationMapHeader, fragHeader);
    const uint64_t p = fragHeader + 16 + 4ULL * w(fragHeader);
    uint64_t dir = p;
    if (version == 5) {
      EXPECT_EQ(l.blockEntryMapHeader, p);
      EXPECT_EQ(w(p), entries);  // one map entry per block entry
      dir = p + 20 + 8ULL * w(p);
    } else {
      EXPECT_EQ(l.blockEntryMapHeader, 0u);
    }
    EXPECT_EQ(l.directoryHeader, dir);
    const uint32_t items = w(dir + kItemCount);
    EXPECT_EQ(items, 5u);
    EXPECT_EQ(l.nameTable, dir + 56 + 28ULL * items);
    const uint64_t auxEnd = l.nameTable + w(dir + kNameTableSize) +
                            4ULL * (w(dir + kHashTableWords) + items + w(dir + kFileTableWords));
    const uint64_t dirMapHeader = dir + w(dir + kDirectorySize);
    EXPECT_EQ(dirMapHeader, auxEnd + 12);  // the padding closes the section
    EXPECT_EQ(l.directoryMapHeader, dirMapHeader);
    const uint64_t checksumHeader = dirMapHeader + 8 + 4ULL * items;
    EXPECT_EQ(l.checksumHeader, checksumHeader);
    const uint32_t checksumSize = w(checksumHeader + kChecksumSize);
    EXPECT_EQ(checksumSize,
              16 + 8 * w(checksumHeader + kChecksumEntryCount) + 4 * 2);  // two with bytes
    const uint64_t dataHeader = checksumHeader + 8 + checksumSize;
    EXPECT_EQ(l.dataBlockHeader, dataHeader);
    const uint32_t firstBlock = w(dataHeader + kFirstBlockOffset);
    EXPECT_EQ(firstBlock, dataHeader + 24 + 40);
    EXPECT_EQ(l.firstDataBlock, firstBlock);
    EXPECT_EQ(
        firstBlock + uint64_t{w(dataHeader + kDataBlockCount)} * w(dataHeader + kDataBlockSize),
        image.size());
  }
}

TEST(CacheWriterContent, RunsHolesJunkAndHiddenEntriesDecodeAsExpected) {
  CacheBuilder builder;
  builder.blockSize(16).shuffleBlockEntries(6).shuffleDataBlocks(4);
  const uint32_t before = builder.addFile(0, "before", sampleBytes(40, 5));
  const uint32_t holes = builder.addFile(
      0, "holes", RunList{{40, "tail-run", 2}, {0, sampleBytes(20, 6), 0}, {30, "", 1}});
  const uint32_t empty = builder.addFile(0, "empty", "");
  const uint32_t noEntries = builder.addFile(0, "no-entries", RunList{});
  builder.addHiddenEntry(holes, "decoy bytes that must never be extracted");
  const CacheImage image = builder.build();
  const CacheLayout& l = image.layout();
  auto entry = [&](uint32_t e, BlockEntryField f) { return image.get32(l.blockEntry(e, f)); };

  EXPECT_EQ(image.expectedContent(holes), sampleBytes(20, 6) + std::string(20, '\0') + "tail-run");
  EXPECT_EQ(image.expectedContent(empty), "");
  EXPECT_EQ(image.expectedContent(before), sampleBytes(40, 5));
  EXPECT_TRUE(image.blockEntriesOf(noEntries).empty());

  // Runs are linked both ways in the order given, whatever the table order.
  const std::vector<uint32_t> runs = image.blockEntriesOf(holes);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_NE(*std::min_element(runs.begin(), runs.end()),
            runs[0]);  // a scan meets a later run first
  EXPECT_EQ(entry(runs[0], kFileDataOffset), 40u);
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(entry(runs[i], kPreviousEntry), i == 0 ? l.blockEntryCount : runs[i - 1]);
    EXPECT_EQ(entry(runs[i], kNextEntry), i + 1 == runs.size() ? l.blockEntryCount : runs[i + 1]);
  }
  EXPECT_EQ(image.chainOf(runs[0]).size(), 3u);  // one block of data, two of junk
  EXPECT_EQ(image.chainOf(runs[2]).size(), 1u);  // no data, one junk block

  // The zero-size file has one entry and no chain.
  ASSERT_EQ(image.blockEntriesOf(empty).size(), 1u);
  EXPECT_EQ(entry(image.blockEntriesOf(empty)[0], kFirstDataBlock), kEndOfChain);

  // Exactly one hidden entry, naming `holes`, ahead of all its runs.
  std::vector<uint32_t> hidden;
  for (uint32_t e = 0; e < l.blockEntryCount; ++e)
    if (entry(e, kEntryFlags) == kHiddenEntryFlags) hidden.push_back(e);
  ASSERT_EQ(hidden.size(), 1u);
  EXPECT_EQ(entry(hidden[0], kDirectoryItem), holes);
  for (uint32_t run : runs) EXPECT_LT(hidden[0], run);
  EXPECT_EQ(image.chainOf(hidden[0]).size(), 3u);
}

// Chains skip the terminator index, and shuffled ones are fragmented.
TEST(CacheWriterBlocks, ChainsNeverUseTheTerminatorIndex) {
  for (bool shuffle : {false, true}) {
    SCOPED_TRACE(shuffle);
    CacheBuilder builder;
    builder.blockSize(16).reserveDataBlocks(0xFFFF - 10);
    if (shuffle) builder.shuffleDataBlocks(1);
    const uint32_t crossing = builder.addFile(0, "crossing", sampleBytes(16 * 20, 3));
    const uint32_t big = builder.addFile(0, "big", sampleBytes(16 * 70000, 4));
    const CacheImage image = builder.build();
    EXPECT_GT(image.layout().dataBlockCount, 0x10000u);
    for (uint32_t item : {crossing, big}) {
      const std::vector<uint32_t> chain = image.chainOf(image.blockEntriesOf(item)[0]);
      EXPECT_EQ(chain.size(), item == big ? 70000u : 20u);
      for (uint32_t blk : chain)  // neither the terminator nor one of the reserved blocks
        ASSERT_TRUE(blk != kEndOfChain && blk >= 0xFFFFu - 10) << blk;
      EXPECT_EQ(std::is_sorted(chain.begin(), chain.end()), !shuffle);
    }
  }
}

TEST(CacheWriterImage, WrittenFileMatchesTheImageAfterEdits) {
  CacheBuilder builder(5);
  builder.blockSize(4096).reserveDataBlocks(300);  // the file's blocks 300 and 301 end the image
  builder.addFile(0, "f", sampleBytes(5000, 7));
  CacheImage image = builder.build();
  const CacheLayout& l = image.layout();
  EXPECT_EQ(image.size(), l.dataBlock(l.dataBlockCount));
  image.set32(l.field(kFormatVersion), 7);        // in the headers
  image.set32(l.dataBlock(5) + 100, 0xCAFEF00D);  // in an unused block
  image.set32(l.dataBlock(300) + 2, 0x01020304);  // in a used block
  image.truncate(image.size() - 5);
  image.truncate(image.size() + 4);  // what was cut off comes back as zeros
  EXPECT_EQ(image.get32(image.size() - 4), 0u);
  EXPECT_EQ(image.get32(l.field(kFormatVersion)), 7u);
  EXPECT_EQ(image.get32(l.dataBlock(5) + 100), 0xCAFEF00Du);
  EXPECT_EQ(image.get32(l.dataBlock(300) + 2), 0x01020304u);
  EXPECT_THROW(image.set32(image.size() - 3, 0), std::out_of_range);
  const Bytes b = image.bytes();

  const std::string path = ::testing::TempDir() + "cache_writer_test.gcf";
  ASSERT_TRUE(image.writeFile(path));
  std::ifstream in(path, std::ios::binary);
  const std::string onDisk{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  in.close();
  std::filesystem::remove(path);
  ASSERT_EQ(onDisk.size(), b.size());
  EXPECT_TRUE(std::equal(onDisk.begin(), onDisk.end(), b.begin(),
                         [](char c, std::byte x) { return static_cast<std::byte>(c) == x; }));
}

}  // namespace
}  // namespace vaultcat::testsupport
