// The list command run in-process: the tree in stored order, and what a
// damaged tree prints before it is given up.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

std::string opened(const std::string& path) { return "Opened " + path + "\n"; }
const std::string kEngineTitle = "Identified GCF as: Half-Life engine\n\n";
const std::string kListingHeading = "Directory listing:\n\n";

// The tree of both versions, each cache named by its ID: the file header's
// ID, never the directory header's, looked up in the built-in table; an ID
// the table lacks, printed as a signed number, asks to be reported.
TEST(ListCommandTree, PrintsFoldersAndFilesDepthFirstInStoredOrder) {
  struct Case {
    uint32_t version, cacheId;
    std::string identification;
  };
  const std::string unknownId =
      "Couldn't identify GCF.\nCache ID was %, filename was $.\nPlease send this info to the "
      "vaultcat issue tracker so future versions\nof this program can correctly identify this "
      "cache ID.\n\n";
  const Case cases[] = {
      {5, 51, "Identified GCF as: Opposing Force\n\n"},
      {6, 0, kEngineTitle},  // 0 is a known ID, not a missing one
      {6, 92, "Identified GCF as: Codename Gordon\n\n"},
      {6, 4, unknownId},
      {5, 0x80000001, unknownId},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cacheId);
    CacheBuilder builder(c.version);
    builder.blockSize(512).cacheId(c.cacheId);
    const uint32_t zeta = builder.addFile(0, "zeta.txt", "z");
    const uint32_t maps = builder.addFolder(0, "maps");
    const uint32_t level = builder.addFile(maps, "Level 1.bsp", std::string(1500, 'b'));
    builder.addFolder(maps, "empty");
    const uint32_t sub = builder.addFolder(maps, "sub");
    const uint32_t deep = builder.addFile(sub, "deep.txt", "");
    builder.addFile(0, "readme.txt", "r");
    builder.addFolder(0, "Alpha");
    CacheImage image = builder.build();
    // A file's child link is never followed.
    image.set32(image.layout().directoryEntry(level, kFirstChild), 0xFFFFFFFF);
    // Any item flags but 0 make a file, those our writer never writes too.
    image.set32(image.layout().directoryEntry(zeta, kItemFlags), 1);
    image.set32(image.layout().directoryEntry(level, kItemFlags), 0xFFFFFFFF);
    image.set32(image.layout().directoryEntry(deep, kItemFlags), 0x80000000);
    image.set32(image.layout().field(kDirectoryCacheId), 1);
    const ListRun run = listCache(image, "tree.gcf");
    std::string identification = c.identification;
    if (size_t at = identification.find('%'); at != std::string::npos)
      identification.replace(at, 1, std::to_string(static_cast<int32_t>(c.cacheId)));
    if (size_t at = identification.find('$'); at != std::string::npos)
      identification.replace(at, 1, run.path);
    EXPECT_EQ(run.text, opened(run.path) + identification + kListingHeading +
                            "zeta.txt\n"
                            "maps\\\n"
                            "  Level 1.bsp\n"
                            "  empty\\\n"
                            "  sub\\\n"
                            "    deep.txt\n"
                            "readme.txt\n"
                            "Alpha\\\n");
    EXPECT_EQ(run.status, 0);
  }

  const ListRun empty = listCache(CacheBuilder(5).build(), "empty-root.gcf");
  EXPECT_EQ(empty.text, opened(empty.path) + kEngineTitle + kListingHeading);
  EXPECT_EQ(empty.status, 0);
}

// What follows `kept` must be exactly one line, and it must report damage.
void expectDamageAfter(const ListRun& run, const std::string& kept) {
  const std::string before = opened(run.path) + kEngineTitle + kListingHeading + kept;
  ASSERT_EQ(run.text.substr(0, before.size()), before);
  const std::string rest = run.text.substr(before.size());
  EXPECT_EQ(rest.rfind("Corrupt file", 0), 0u) << rest;
  EXPECT_EQ(rest.find('\n'), rest.size() - 1) << rest;
  EXPECT_EQ(run.status, 1);
}

TEST(ListCommandTree, DamagedTreesStopWithAReportAndKeepEarlierLines) {
  // root: a.txt, sub (holding inner.txt), b.txt; b.txt fills the last data
  // block with non-NUL bytes, up to the end of the file.
  CacheBuilder builder;
  builder.blockSize(512);
  builder.addFile(0, "a.txt", "a");
  const uint32_t sub = builder.addFolder(0, "sub");
  const uint32_t inner = builder.addFile(sub, "inner.txt", "i");
  const uint32_t b = builder.addFile(0, "b.txt", std::string(512, 'z'));
  const CacheImage good = builder.build();
  const CacheLayout& l = good.layout();
  const uint32_t nameTableSize = good.get32(l.field(kNameTableSize));

  struct Case {
    const char* what;
    std::vector<std::pair<uint64_t, uint32_t>> edits;  // words and their new values
    std::string kept;
  };
  const Case cases[] = {
      {"sub's first child lies past the end of the directory",
       {{l.directoryEntry(sub, kFirstChild), l.itemCount}},
       "a.txt\nsub\\\n"},
      {"the root's first child is 0xFFFFFFFF",
       {{l.directoryEntry(0, kFirstChild), 0xFFFFFFFF}},
       ""},
      {"b.txt's next sibling leads back to a.txt",
       {{l.directoryEntry(b, kNextSibling), 1}},
       "a.txt\nsub\\\n  inner.txt\nb.txt\n"},
      {"sub holds itself", {{l.directoryEntry(sub, kFirstChild), sub}}, "a.txt\nsub\\\n"},
      {"inner.txt becomes a folder whose child list leads back to the root's first child",
       {{l.directoryEntry(inner, kItemFlags), 0}, {l.directoryEntry(inner, kFirstChild), 1}},
       "a.txt\nsub\\\n  inner.txt\\\n"},
      {"inner.txt's name starts at the end of the name table",
       {{l.directoryEntry(inner, kNameOffset), nameTableSize}},
       "a.txt\nsub\\\n"},
      {"inner.txt's name runs to the end of the file without a NUL",
       {{l.field(kNameTableSize), static_cast<uint32_t>(good.size() - l.nameTable)},
        {l.directoryEntry(inner, kNameOffset),
         static_cast<uint32_t>(l.dataBlock(l.dataBlockCount - 1) - l.nameTable)}},
       "a.txt\nsub\\\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CacheImage image = good;
    for (const auto& [at, value] : c.edits) image.set32(at, value);
    expectDamageAfter(listCache(image, "damaged-tree.gcf"), c.kept);
  }
}

TEST(ListCommandTree, FoldersNestAtMostAThousandLevelsAndNamesAreBounded) {
  auto nested = [](uint32_t depth) {
    CacheBuilder builder;
    for (uint32_t i = 0, parent = 0; i < depth; ++i) parent = builder.addFolder(parent, "d");
    return builder.build();
  };
  std::string thousandLevels;
  for (uint32_t i = 0; i < 1000; ++i) thousandLevels += std::string(2 * i, ' ') + "d\\\n";

  const ListRun deepest = listCache(nested(1000), "nested.gcf");
  EXPECT_EQ(deepest.text, opened(deepest.path) + kEngineTitle + kListingHeading + thousandLevels);
  EXPECT_EQ(deepest.status, 0);
  // A chain far deeper than any stack would hold: stopped after 1000
  // lines, without recursion.
  expectDamageAfter(listCache(nested(1001), "nested.gcf"), thousandLevels);
  expectDamageAfter(listCache(nested(100000), "nested.gcf"), thousandLevels);

  // Names are at most the longest item path. A longer one cannot come from a
  // real cache; without the limit, items that all share one enormous name
  // would list without end.
  const std::string longest(1023, 'n');
  CacheBuilder builder;
  builder.addFile(0, longest, "x");
  builder.addFile(0, longest + "n", "y");
  expectDamageAfter(listCache(builder.build(), "long-names.gcf"), longest + "\n");
}

}  // namespace
}  // namespace vaultcat::unittest
