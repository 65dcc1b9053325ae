// Fault-seeking sweeps: a good cache cut at every length, and its header
// counts and table words set to values that break them. Each damaged cache
// must be refused with "Corrupt file.", or open and then list, look up and
// extract with either a result or a damage report: never a read outside
// the bytes (the sanitizer build checks that), never an endless walk.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/file_check.h"
#include "front_end/directory_listing.h"
#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

CacheImage sweepCache(uint32_t version) {
  CacheBuilder builder(version);
  builder.blockSize(64).shuffleDataBlocks(3).shuffleBlockEntries(2).spareDataBlocks(1);
  const uint32_t maps = builder.addFolder(0, "maps");
  builder.addFolder(maps, "empty");
  const uint32_t level = builder.addFile(maps, "level.bsp", std::string(150, 'L'));
  builder.addHiddenEntry(level, "decoy");
  builder.addFile(0, "runs", RunList{{64, std::string(40, 'r')}, {0, std::string(64, 'R'), 1}});
  builder.addFile(0, "empty.txt", "");
  return builder.build();
}

const char* const kPaths[] = {"maps",      "maps/empty", "Maps\\Level.BSP", "runs",
                              "empty.txt", "nosuch",     "maps//x"};

// Runs everything a command can do on an open archive.
void exerciseEverything(const CacheArchive& archive) {
  testsupport::StringOutput listing;
  const std::string damage = listDirectory(archive, 0, listing).damage;
  if (damage.empty()) {
    const std::string& text = listing.text();
    EXPECT_LE(static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')),
              archive.itemCount());
  }
  for (const char* path : kPaths) {
    const LookupResult found = findItemByPath(archive, path);
    if (found.status.damaged()) {
      EXPECT_FALSE(found.found());
    }
  }
  for (uint32_t item = 0; item < archive.itemCount(); ++item) {
    if (const auto name = archive.itemName(item)) {
      EXPECT_LE(name->size(), kMaxPathLength);
    }
    const LookupResult head = findBlockEntryForItem(archive, item);
    if (head.status.damaged()) {
      EXPECT_FALSE(head.found());
    }
  }
  // Every entry as the start of a chain, and one past the table.
  testsupport::StringOutput progress;
  for (uint32_t entry = 0; entry <= archive.blockEntryCount(); ++entry) {
    MemorySink sink(archive);
    BlockLines lines(sink, progress);
    const Status r = writeFileData(archive, lines, entry);
    EXPECT_NE(r.kind, Status::Kind::kOutputFailed);
    EXPECT_EQ(r.damaged(), !r.damage.empty());
  }
}

// How many bytes of `item` a cache cut at `length` still holds: those of
// the data blocks that lie whole inside it.
uint64_t heldAfterCut(const CacheImage& image, uint32_t item, uint64_t length) {
  const CacheLayout& l = image.layout();
  uint64_t held = 0;
  for (const uint32_t entry : image.blockEntriesOf(item)) {
    uint64_t left = image.get32(l.blockEntry(entry, kFileDataSize));
    for (const uint32_t block : image.chainOf(entry)) {
      const uint64_t chunk = std::min<uint64_t>(left, l.dataBlockSize);
      if (l.dataBlock(block) + l.dataBlockSize <= length) held += chunk;
      left -= chunk;
    }
  }
  return held;
}

TEST(DamageSweep, EveryTruncationIsRefusedOrReadAsACacheCutShort) {
  for (uint32_t version : {5u, 6u}) {
    SCOPED_TRACE(version);
    const CacheImage image = sweepCache(version);
    const CacheLayout& l = image.layout();
    const std::vector<std::byte> full = image.bytes();
    for (size_t length = full.size(); length >= 1; --length) {
      const std::vector<std::byte> cut(full.begin(),
                                       full.begin() + static_cast<std::ptrdiff_t>(length));
      LoadedCache cache(cut);
      // The data region ends at the end of the file, so any cut loses part
      // of it, if not a header first.
      if (cache.opened) {
        EXPECT_EQ(length, full.size());
        exerciseEverything(cache.archive);
      } else {
        ASSERT_STREQ(cache.archive.lastError(), "Corrupt file.") << length;
      }
      // Read as a cache cut short, it opens while its tables are whole, and
      // each file is whole where its blocks lie inside the cut, else
      // incomplete, its bytes those the blocks inside give.
      CacheArchive mayBeCut;
      const bool opened =
          mayBeCut.openBytes(ByteView(cut.data(), cut.size()), CacheArchive::Extent::kMayBeCut);
      ASSERT_EQ(opened, length >= l.dataBlockHeader + 16) << length;
      if (!opened) continue;
      EXPECT_EQ(mayBeCut.missingBytes(), full.size() - length);
      exerciseEverything(mayBeCut);
      FileChecker checker(mayBeCut);
      for (uint32_t item = 1; item < l.itemCount; ++item) {
        if (mayBeCut.directoryEntry(item)->isFolder()) continue;
        const FileState state = checker.check(item);
        const uint64_t held = heldAfterCut(image, item, length);
        EXPECT_EQ(state.heldBytes, held) << length << " " << item;
        EXPECT_EQ(state.kind, held == state.recordedSize ? FileState::Kind::kWhole
                                                         : FileState::Kind::kIncomplete)
            << length << " " << item;
      }
    }
  }
}

TEST(DamageSweep, HeaderCountsAndSizesSetToBreakingValues) {
  for (uint32_t version : {5u, 6u}) {
    const CacheImage good = sweepCache(version);
    const CacheLayout& l = good.layout();
    struct Field {
      const char* name;
      uint64_t offset;
      // Whether the field sizes a table or places a section, so that
      // 0xFFFFFFFF must put something past the end of the file.
      bool placesData;
    };
    const Field fields[] = {
        // The chunk length of a copy: 0 copies nothing, large values read on
        // past the block and off the end of the file.
        {"blockSize", l.field(kBlockSize), false},
        // Bounds the block-entry scan and marks the head of a chain; any other
        // value than the table's size leaves heads unmarked.
        {"blockCount", l.field(kBlockCount), false},
        // Moves every later section; also the "no next entry" marker.
        {"blockEntryCount", l.blockEntryHeader, true},
        // Moves the directory; the chains' next words come from a table of the
        // wrong length.
        {"fragmentCount", l.fragmentationMapHeader, true},
        // Version 5: moves the directory header.
        {"blockEntryMap entryCount", l.blockEntryMapHeader, true},
        // Moves the names and the directory map; links may leave the table.
        {"itemCount", l.field(kItemCount), true},
        // Moves the directory map and everything after it.
        {"directorySize", l.field(kDirectorySize), true},
        // Names start or end outside the name table.
        {"nameTableSize", l.field(kNameTableSize), true},
        // Moves the data block header.
        {"checksumSize", l.field(kChecksumSize), true},
        // Chains name blocks outside the region, or the region leaves the file.
        {"dataBlockCount", l.field(kDataBlockCount), true},
        // Every block moves, and the region's extent changes.
        {"dataBlockSize", l.field(kDataBlockSize), true},
        // Every block moves.
        {"firstBlockOffset", l.field(kFirstBlockOffset), true},
    };
    for (const Field& field : fields) {
      if (field.offset == 0) continue;  // no block entry map in version 6
      const uint32_t original = good.get32(field.offset);
      // Nothing; one; the chain terminator; the largest word, which wraps any
      // 32-bit sum; and off by one either way.
      for (uint32_t value : {0u, 1u, 0xFFFFu, 0xFFFFFFFFu, original - 1, original + 1}) {
        SCOPED_TRACE(std::string(field.name) + " = " + std::to_string(value) + ", version " +
                     std::to_string(version));
        CacheImage image = good;
        image.set32(field.offset, value);
        LoadedCache cache(image);
        if (cache.opened) {
          EXPECT_FALSE(field.placesData && value == 0xFFFFFFFF)
              << "opened a cache whose data is gone";
          exerciseEverything(cache.archive);
        } else {
          EXPECT_STREQ(cache.archive.lastError(), "Corrupt file.");
        }
      }
    }
  }
}

TEST(DamageSweep, TableWordsSetToBreakingValues) {
  // Block entries, fragmentation map and directory entries are not checked
  // when the cache opens; every word of them is, when it is followed.
  for (uint32_t version : {5u, 6u}) {
    const CacheImage good = sweepCache(version);
    const CacheLayout& l = good.layout();
    struct Table {
      uint64_t begin, end, recordSize;
    };
    const Table tables[] = {{l.blockEntries, l.fragmentationMapHeader, 28},
                            {l.fragmentationMap, l.fragment(l.dataBlockCount), 4},
                            {l.directoryEntries, l.nameTable, 28}};
    for (const auto& [begin, end, recordSize] : tables) {
      for (uint64_t at = begin; at < end; at += 4) {
        const auto ownIndex = static_cast<uint32_t>((at - begin) / recordSize);
        for (uint32_t value : {0u, 1u, ownIndex, 0xFFFFu, 0xFFFFFFFFu}) {
          SCOPED_TRACE("word at " + std::to_string(at) + " = " + std::to_string(value) +
                       ", version " + std::to_string(version));
          CacheImage image = good;
          image.set32(at, value);
          LoadedCache cache(image);
          ASSERT_TRUE(cache.opened);
          exerciseEverything(cache.archive);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vaultcat::unittest
