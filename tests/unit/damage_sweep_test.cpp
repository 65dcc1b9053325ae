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

uint32_t wordAt(const std::vector<std::byte>& bytes, uint64_t at) {
  uint32_t v = 0;
  for (uint64_t i = 4; i-- > 0;) v = v << 8 | std::to_integer<uint32_t>(bytes.at(at + i));
  return v;
}

const char* const kPaths[] = {"maps", "maps/empty", "Maps\\Level.BSP", "runs", "empty.txt",
                              "nosuch", "maps//x"};

// Runs everything a command can do on an open archive.
void exerciseEverything(const CacheArchive& archive) {
  StringOutput listing;
  const std::string damage = listDirectory(archive, 0, listing);
  if (damage.empty()) {
    const std::string& text = listing.text();
    EXPECT_LE(static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')), archive.itemCount());
  }
  for (const char* path : kPaths) {
    const LookupResult found = findPath(archive, path);
    if (found.damaged()) {
      EXPECT_EQ(found.index, -1);
    }
  }
  for (uint32_t item = 0; item < archive.itemCount(); ++item) {
    (void)archive.itemName(item);
    const LookupResult head = findBlockEntryForItem(archive, item);
    if (head.damaged()) {
      EXPECT_EQ(head.index, -1);
    }
  }
  // Every entry as the start of a chain, and one past the table.
  StringOutput progress;
  for (uint32_t entry = 0; entry <= archive.blockEntryCount(); ++entry) {
    MemorySink sink;
    const ExtractionResult r = writeFileData(archive, sink, entry, progress);
    EXPECT_NE(r.status, ExtractionResult::Status::kWriteFailed);
    EXPECT_EQ(r.status == ExtractionResult::Status::kDamaged, !r.damage.empty());
  }
}

TEST(DamageSweep, EveryTruncationIsRefused) {
  for (uint32_t version : {5u, 6u}) {
    SCOPED_TRACE(version);
    const std::vector<std::byte> full = sweepCache(version).bytes();
    for (size_t length = full.size(); length >= 1; --length) {
      LoadedCache cache(std::vector<std::byte>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)));
      // The data region ends at the end of the file, so any cut loses part
      // of it, if not a header first.
      if (cache.opened) {
        EXPECT_EQ(length, full.size());
        exerciseEverything(cache.archive);
      } else {
        ASSERT_STREQ(cache.archive.lastError(), "Corrupt file.") << length;
      }
    }
  }
}

TEST(DamageSweep, HeaderCountsAndSizesSetToBreakingValues) {
  struct Field {
    const char* name;
    uint64_t (*offset)(const CacheLayout&);
    // Whether the field sizes a table or places a section, so that
    // 0xFFFFFFFF must put something past the end of the file.
    bool placesData;
  };
  const Field fields[] = {
      // The chunk length of a copy: 0 copies nothing, large values read on
      // past the block and off the end of the file.
      {"blockSize", [](const CacheLayout&) -> uint64_t { return 32; }, false},
      // Bounds the block-entry scan and marks the head of a chain; any other
      // value than the table's size leaves heads unmarked.
      {"blockCount", [](const CacheLayout&) -> uint64_t { return 36; }, false},
      // Moves every later section; also the "no next entry" marker.
      {"blockEntryCount", [](const CacheLayout& l) { return l.blockEntryHeader; }, true},
      // Moves the directory; the chains' next words come from a table of the
      // wrong length.
      {"fragmentCount", [](const CacheLayout& l) { return l.fragmentationMapHeader; }, true},
      // Version 5: moves the directory header.
      {"blockEntryMap entryCount", [](const CacheLayout& l) { return l.blockEntryMapHeader; }, true},
      // Moves the names and the directory map; links may leave the table.
      {"itemCount", [](const CacheLayout& l) { return l.directoryHeader + 12; }, true},
      // Moves the directory map and everything after it.
      {"directorySize", [](const CacheLayout& l) { return l.directoryHeader + 24; }, true},
      // Names start or end outside the name table.
      {"nameTableSize", [](const CacheLayout& l) { return l.directoryHeader + 28; }, true},
      // Moves the data block header.
      {"checksumSize", [](const CacheLayout& l) { return l.checksumHeader + 4; }, true},
      // Chains name blocks outside the region, or the region leaves the file.
      {"dataBlockCount", [](const CacheLayout& l) { return l.dataBlockHeader + 4; }, true},
      // Every block moves, and the region's extent changes.
      {"dataBlockSize", [](const CacheLayout& l) { return l.dataBlockHeader + 8; }, true},
      // Every block moves.
      {"firstBlockOffset", [](const CacheLayout& l) { return l.dataBlockHeader + 12; }, true},
  };
  for (uint32_t version : {5u, 6u}) {
    const CacheImage image = sweepCache(version);
    const std::vector<std::byte> good = image.bytes();
    for (const Field& field : fields) {
      const uint64_t at = field.offset(image.layout());
      if (at == 0) continue;  // no block entry map in version 6
      const uint32_t original = wordAt(good, at);
      // Nothing; one; the chain terminator; the largest word, which wraps any
      // 32-bit sum; and off by one either way.
      for (uint32_t value : {0u, 1u, 0xFFFFu, 0xFFFFFFFFu, original - 1, original + 1}) {
        SCOPED_TRACE(std::string(field.name) + " = " + std::to_string(value) + ", version " +
                     std::to_string(version));
        std::vector<std::byte> bytes = good;
        put32(bytes, at, value);
        LoadedCache cache(std::move(bytes));
        if (cache.opened) {
          EXPECT_FALSE(field.placesData && value == 0xFFFFFFFF) << "opened a cache whose data is gone";
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
    const CacheImage image = sweepCache(version);
    const CacheLayout& l = image.layout();
    const std::vector<std::byte> good = image.bytes();
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
          std::vector<std::byte> bytes = good;
          put32(bytes, at, value);
          LoadedCache cache(std::move(bytes));
          ASSERT_TRUE(cache.opened);
          exerciseEverything(cache.archive);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vaultcat::unittest
