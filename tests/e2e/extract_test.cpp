// Extraction that succeeds, from version 5 and version 6 caches, as only a
// real process shows it: the progress lines as printed, and the output file
// named as typed. (The writer's unit tests cover the shapes of runs and
// chains.)
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

using testsupport::CacheBuilder;
using testsupport::CacheImage;
using testsupport::RunList;

class ExtractTest : public ProgramTest, public testing::WithParamInterface<uint32_t> {
 protected:
  uint32_t version() const { return GetParam(); }
};

// Items of the plain cache, numbered in order of addition.
enum PlainItem : uint32_t { kTodo = 3, kLevel1 = 5, kEmpty = 6 };

CacheImage plainCache(uint32_t version) {
  CacheBuilder b(version);
  b.cacheId(1).blockSize(512);
  b.addFile(b.addFolder(b.addFolder(0, "docs"), "notes"), "todo.txt", sampleBytes(300, 11));
  b.addFile(b.addFolder(0, "maps"), "level1.bsp", sampleBytes(1300, 12));
  b.addFile(0, "empty.cfg", "");  // no data blocks
  return b.build();
}

// Every line of a run of two runs: the first stored run is at the higher
// offset, its chain has a spare block, and a hidden entry of the same file
// comes first in the table.
TEST_P(ExtractTest, PrintsEachRunAndBlockAsItWritesThem) {
  CacheBuilder b(version());
  b.cacheId(1).blockSize(16);
  b.addFile(0, "a.txt", sampleBytes(10, 30));  // entry 0, block 0
  // Last chunks of one byte and of a block but one.
  const std::string high = sampleBytes(17, 31), low = sampleBytes(15, 32);
  // Entries: hidden 1, then 2 (blocks 1, 2 and the spare 3) and 3 (block 4).
  const uint32_t split = b.addFile(0, "split.bin", RunList{{40, high, 1}, {0, low, 0}});
  b.addHiddenEntry(split, sampleBytes(16, 33));
  const std::string cache = writeCache(b.build(), "small.gcf");
  makeDir("out");

  ProgramRun r = run({"x", cache, "split.bin", at("out")});
  EXPECT_EQ(r.out, openedLines(cache, "Half-Life") +
                       "Found split.bin, attempting to extract...\n"
                       "Writing block 2 (offset 40, size 17)\n"
                       "Writing fragment 1 (size 16)\n"
                       "Writing fragment 2 (size 1)\n"
                       "Writing fragment 3 (size 0)\n"
                       "Writing block 3 (offset 0, size 15)\n"
                       "Writing fragment 4 (size 15)\n"
                       "Success!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(at("out/split.bin")), low + std::string(25, '\0') + high);
}

// The lookup ignores letter case and takes either separator; the output is
// created with the path exactly as typed, '\' becoming a folder separator.
TEST_P(ExtractTest, FindsItemsWhateverTheCaseAndSeparators) {
  const CacheImage image = plainCache(version());
  const std::string cache = writeCache(image, "plain.gcf");
  struct Case {
    const char* command;
    const char* typed;
    const char* folder;  // as typed; must exist beforehand
    const char* file;
    uint32_t item;
  };
  const Case cases[] = {
      {"x", "MAPS\\Level1.BSP", "MAPS", "Level1.BSP", kLevel1},
      {"X", "mApS/LEVEL1.bsp", "mApS", "LEVEL1.bsp", kLevel1},
      {"xtract", "Docs\\NOTES/Todo.TXT", "Docs/NOTES", "Todo.TXT", kTodo},
      {"x", "EMPTY.CFG", "", "EMPTY.CFG", kEmpty},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    const std::string out = "out" + std::to_string(n++);
    const std::string folder = *c.folder ? out + "/" + c.folder : out;
    makeDir(folder);
    ProgramRun r = run({c.command, cache, c.typed, at(out)});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_NE(r.out.find(std::string("\nFound ") + c.typed + ", attempting to extract...\n"),
              std::string::npos)
        << describe(r);
    EXPECT_EQ(listFolder(folder), std::vector<std::string>{c.file});
    EXPECT_EQ(readFile(at(folder) + "/" + c.file), image.expectedContent(c.item));
  }
}

// Paths past the 260 characters that Windows paths once stopped at, and
// past 1,000, written whole by `a` and, file by file, by `x`: below a
// destination that is itself that long, and a tree whose own paths are,
// below a folder of ordinary depth. `a` takes the cache and its
// destination relative to where it runs; `x` changes into its destination
// first and finds the cache relative to that.
using LongPathTest = ProgramTest;

TEST_F(LongPathTest, ExtractsPathsPast260And1000Characters) {
  std::string longFolder = "long";
  while (longFolder.size() < 300) longFolder += "/" + std::string(60, 'd');
  struct Case {
    std::string folder;  // of the cache, and of both destinations
    uint32_t depth;      // how deep the tree's folders go, each with a file
  };
  // Folders of 90 characters: at depth 11 a file's path in the tree takes
  // 1,006, within the 1,023 that `x` takes.
  const Case cases[] = {{longFolder, 1}, {"ordinary", 11}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder.substr(0, 12));
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    std::map<std::string, std::string> tree;
    uint32_t folder = 0;
    std::string path;
    for (uint32_t level = 0; level < c.depth; ++level) {
      const std::string name = std::to_string(level) + std::string(89, 'n');
      folder = b.addFolder(folder, name);
      path += (path.empty() ? "" : "/") + name;
      tree[path] = "/";
      tree[path + "/f.bin"] = sampleBytes(300 + level, 40 + level);
      b.addFile(folder, "f.bin", tree[path + "/f.bin"]);
    }
    writeCache(b.build(), c.folder + "/c.gcf");
    ProgramRun r = run({"a", c.folder + "/c.gcf", "/", c.folder + "/a"});
    EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
    EXPECT_EQ(treeAt(at(c.folder + "/a")), tree);
    makeDir(c.folder + "/x/" + path);
    for (const auto& [item, bytes] : tree) {
      if (bytes == "/") continue;
      r = run({"x", "../c.gcf", item, at(c.folder + "/x")});
      EXPECT_EQ(r.status, 0) << describe(r);
    }
    EXPECT_EQ(treeAt(at(c.folder + "/x")), tree);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, ExtractTest, testing::Values(5u, 6u),
                         [](const testing::TestParamInfo<uint32_t>& param) {
                           return "v" + std::to_string(param.param);
                         });

}  // namespace
}  // namespace vaultcat::e2e
