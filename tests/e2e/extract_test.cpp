// Extraction that succeeds, from version 5 and version 6 caches, as only a
// real process shows it: the progress lines as printed, and the output file
// named as typed. (The writer's unit tests cover the shapes of runs and
// chains.)
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

// A destination past the 260 characters that Windows paths once stopped at:
// the program changes into it, finds a relative cache there and writes
// below it.
using LongPathTest = ProgramTest;

TEST_F(LongPathTest, ExtractsIntoADestinationPast260Characters) {
  std::string destination = "long";
  while (destination.size() < 300) destination += "/" + std::string(60, 'd');
  const std::string bytes = sampleBytes(700, 40);
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(b.addFolder(0, "docs"), "a.txt", bytes);
  writeCache(b.build(), destination + "/c.gcf");
  makeDir(destination + "/docs");
  ProgramRun r = run({"x", "c.gcf", "docs/a.txt", at(destination)});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readFile(at(destination + "/docs/a.txt")), bytes);
}

INSTANTIATE_TEST_SUITE_P(Versions, ExtractTest, testing::Values(5u, 6u),
                         [](const testing::TestParamInfo<uint32_t>& param) {
                           return "v" + std::to_string(param.param);
                         });

}  // namespace
}  // namespace vaultcat::e2e
