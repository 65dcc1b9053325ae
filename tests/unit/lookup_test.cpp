// Finding items by path and a file's first block entry, on sound caches and
// on caches whose links lead out of their tables or round in loops.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

using Found = std::optional<uint32_t>;
constexpr Found kNothing = std::nullopt;

TEST(ItemLookupPath, ComponentsMatchByNameIgnoringOnlyTheCaseOfAToZ) {
  CacheBuilder builder;
  const uint32_t maps = builder.addFolder(0, "maps");
  const uint32_t level = builder.addFile(maps, "level1.bsp", "L");
  const uint32_t slashA = builder.addFile(0, "/a", "s");
  const uint32_t a = builder.addFile(0, "a", "a");
  const uint32_t zAt = builder.addFile(0, "z@", "z");
  const uint32_t cafe = builder.addFile(0, "caf\xC3\xA9", "c");  // é in UTF-8
  const uint32_t ete = builder.addFile(0, "\xE9t\xE9", "e");     // été in Latin-1
  const uint32_t bracket = builder.addFile(0, "a[1]", "b");
  const uint32_t firstDup = builder.addFile(0, "Dup", "1");
  builder.addFile(0, "dup", "2");
  const uint32_t withEmpty = builder.addFolder(0, "withEmpty");
  const uint32_t emptyName = builder.addFolder(withEmpty, "");
  const uint32_t x = builder.addFile(emptyName, "x", "x");
  LoadedCache cache(builder.build());
  ASSERT_TRUE(cache.opened);

  struct Case {
    const char* path;
    Found item;
  };
  const Case cases[] = {
      {"maps/level1.bsp", level},
      {"Maps\\Level1.BSP", level},
      {"MAPS/LEVEL1.bsp", level},
      {"maps", maps},
      {"level1.bsp", kNothing},  // only inside maps
      {"nosuch/level1.bsp", kNothing},
      {"a", a},
      {"A", a},
      {"Z@", zAt},  // both ends of A to Z fold, and the bytes just past them do not
      {"z`", kNothing},
      {"/a", slashA},  // the first character always belongs to the name
      {"\\a", kNothing},
      {"CAF\xC3\xA9", cafe},
      {"caf\xC3\x89", kNothing},  // É is not é: bytes above 127 match exactly
      {"\xE9T\xE9", ete},
      {"\xC9t\xC9", kNothing},
      {"A[1]", bracket},
      {"a{1}", kNothing},              // '[' and '{' differ by the case bit but are no letters
      {"DUP", firstDup},               // the first match in sibling order wins
      {"maps//level1.bsp", kNothing},  // an empty component needs an empty-named child
      {"maps/", kNothing},
      {"withEmpty//x", x},
      {"WITHEMPTY\\/X", x},
      {"withEmpty/", emptyName},
      {"a/", kNothing},  // a file has no children
      {"maps/level1.bsp/x", kNothing},
      {"", kNothing},
  };
  for (const Case& c : cases) {
    const LookupResult found = findItemByPath(cache.archive, c.path);
    EXPECT_EQ(found.index, c.item) << c.path;
    EXPECT_FALSE(found.status.damaged()) << c.path << ": " << found.status.damage;
  }
  // A folder owns no block entries; neither does the root.
  EXPECT_EQ(findBlockEntryForItem(cache.archive, maps).index, kNothing);
  EXPECT_EQ(findBlockEntryForItem(cache.archive, 0).index, kNothing);
  EXPECT_FALSE(findBlockEntryForItem(cache.archive, maps).status.damaged());
}

TEST(ItemLookupBlockEntry, TheScanSkipsHiddenEntriesAndReturnsTheHeadOfTheChain) {
  int scansThatMeetALaterRunFirst = 0;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    CacheBuilder builder;
    builder.blockSize(16).shuffleBlockEntries(seed);
    builder.addFile(0, "one", RunList{{32, "c"}, {0, "a"}, {16, "b"}});
    const uint32_t shown = builder.addFile(0, "shown", RunList{{0, "s"}, {16, "t"}});
    builder.addHiddenEntry(shown, "decoy");
    const uint32_t onlyHidden = builder.addFile(0, "only-hidden", RunList{});
    builder.addHiddenEntry(onlyHidden, "decoy");
    builder.addFile(0, "three", RunList{{0, "x"}, {16, "y"}, {32, "z"}});
    const CacheImage image = builder.build();
    LoadedCache cache(image);
    ASSERT_TRUE(cache.opened);
    for (uint32_t item = 1; item <= 4; ++item) {
      const std::vector<uint32_t> runs = image.blockEntriesOf(item);
      const LookupResult head = findBlockEntryForItem(cache.archive, item);
      EXPECT_EQ(head.index, runs.empty() ? kNothing : runs[0]) << seed << " " << item;
      if (!runs.empty())
        scansThatMeetALaterRunFirst += *std::min_element(runs.begin(), runs.end()) != runs[0];
    }
  }
  EXPECT_GT(scansThatMeetALaterRunFirst, 0);
}

TEST(ItemLookupBlockEntry, TheScanIsBoundedByBlockCountAndByTheTable) {
  CacheBuilder builder;
  for (const char* name : {"f1", "f2", "f3"}) builder.addFile(0, name, name);
  const CacheImage good = builder.build();
  const CacheLayout& l = good.layout();
  ASSERT_EQ(l.blockEntryCount, 3u);
  // blockCount as stored, and every head's "no previous entry" marker made
  // to agree with it.
  auto withBlockCount = [&](uint32_t blockCount) {
    CacheImage image = good;
    image.set32(l.field(kBlockCount), blockCount);
    for (uint32_t e = 0; e < 3; ++e) image.set32(l.blockEntry(e, kPreviousEntry), blockCount);
    return image;
  };
  // The index of a whole tree answers as the scan does.
  auto heads = [](const CacheImage& image) {
    LoadedCache cache(image);
    EXPECT_TRUE(cache.opened);
    const BlockEntryIndex index(cache.archive);
    ChainBudget budget(cache.archive);
    std::vector<Found> found;
    for (uint32_t item = 1; item <= 3; ++item) {
      const LookupResult r = findBlockEntryForItem(cache.archive, item);
      EXPECT_FALSE(r.status.damaged()) << r.status.damage;
      EXPECT_EQ(index.headOf(item, budget).index, r.index) << item;
      found.push_back(r.index);
    }
    return found;
  };
  EXPECT_EQ(heads(withBlockCount(3)), (std::vector<Found>{0, 1, 2}));
  EXPECT_EQ(heads(withBlockCount(2)),
            (std::vector<Found>{0, 1, kNothing}));  // f3's entry is not scanned
  EXPECT_EQ(heads(withBlockCount(0)), (std::vector<Found>{kNothing, kNothing, kNothing}));
  EXPECT_EQ(heads(withBlockCount(7)), (std::vector<Found>{0, 1, 2}));  // the table ends first
  EXPECT_EQ(heads(withBlockCount(0xFFFFFFFF)), (std::vector<Found>{0, 1, 2}));
  // Two chains name f1: the first in table order is its.
  CacheImage twice = withBlockCount(3);
  twice.set32(l.blockEntry(1, kDirectoryItem), 1);
  EXPECT_EQ(heads(twice), (std::vector<Found>{0, kNothing, 2}));
}

TEST(ItemLookupDamage, LinksOutOfTheirTablesAndLoopsAreReported) {
  CacheBuilder builder;
  const uint32_t maps = builder.addFolder(0, "maps");
  const uint32_t level = builder.addFile(maps, "level.bsp", RunList{{0, "a"}, {8192, "b"}});
  const uint32_t last = builder.addFile(0, "last", "z");
  const CacheImage good = builder.build();
  const CacheLayout& l = good.layout();
  const std::vector<uint32_t> runs = good.blockEntriesOf(level);

  struct Case {
    const char* what;
    uint64_t at;  // the word damaged
    uint32_t value;
    const char* path;
    bool blockEntry;  // whether the damage is met by the block-entry lookup
  };
  const Case cases[] = {
      {"the root's last child leads back to its first", l.directoryEntry(last, kNextSibling), maps,
       "nosuch", false},
      {"maps' first child lies past the end of the directory", l.directoryEntry(maps, kFirstChild),
       l.itemCount, "maps/level.bsp", false},
      {"the root's second child is 0xFFFFFFFF", l.directoryEntry(maps, kNextSibling), 0xFFFFFFFF,
       "last", false},
      {"the name of maps starts past the name table", l.directoryEntry(maps, kNameOffset),
       0x7FFFFFFF, "last", false},
      {"the head's previous entry is the second run, whose previous is the head",
       l.blockEntry(runs[0], kPreviousEntry), runs[1], "maps/level.bsp", true},
      {"the head's previous entry lies past the table", l.blockEntry(runs[0], kPreviousEntry),
       l.blockEntryCount + 7, "maps/level.bsp", true},
      {"blockCount is one more than the table, so no head is marked", l.field(kBlockCount),
       l.blockEntryCount + 1, "maps/level.bsp", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CacheImage image = good;
    image.set32(c.at, c.value);
    LoadedCache cache(image);
    ASSERT_TRUE(cache.opened);
    LookupResult r = findItemByPath(cache.archive, c.path);
    if (c.blockEntry) {
      ASSERT_EQ(r.index, level);
      r = findBlockEntryForItem(cache.archive, level);
    }
    EXPECT_TRUE(r.status.damaged());
    EXPECT_EQ(r.index, kNothing);
  }

  LoadedCache cache(good);
  const LookupResult outside = findChildByName(cache.archive, "x", l.itemCount);
  EXPECT_TRUE(outside.status.damaged());
  EXPECT_EQ(outside.index, kNothing);
}

}  // namespace
}  // namespace vaultcat::unittest
