// Extraction that succeeds, from version 5 and version 6 caches: every file
// comes out byte for byte, whatever the shape of its runs and chains.
#include <algorithm>
#include <fstream>
#include <sstream>
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

// The "Writing block N" indices, in the order printed.
std::vector<uint32_t> blocksWritten(const std::string& out) {
  std::vector<uint32_t> entries;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("Writing block ", 0) == 0)
      entries.push_back(static_cast<uint32_t>(std::stoul(line.substr(14))));
  return entries;
}

class ExtractTest : public ProgramTest, public testing::WithParamInterface<uint32_t> {
 protected:
  uint32_t version() const { return GetParam(); }
};

// Items of the plain cache, numbered in order of addition.
enum PlainItem : uint32_t {
  kGuide = 2,
  kTodo = 4,
  kLevel1 = 6,
  kEmpty = 7,
  kHidden = 8,
  kLong = 9
};
enum ShuffledItem : uint32_t { kFragmented = 1, kRuns = 2, kSwapped = 3 };

CacheImage plainCache(uint32_t version) {
  CacheBuilder b(version);
  b.cacheId(1).blockSize(512);
  const uint32_t docs = b.addFolder(0, "docs");
  b.addFile(docs, "guide.txt", sampleBytes(3 * 512 + 100, 10));  // several blocks
  const uint32_t notes = b.addFolder(docs, "notes");
  b.addFile(notes, "todo.txt", sampleBytes(300, 11));
  const uint32_t maps = b.addFolder(0, "maps");
  b.addFile(maps, "level1.bsp", sampleBytes(1300, 12));
  b.addFile(0, "empty.cfg", "");  // no data blocks
  const uint32_t hidden = b.addFile(0, "hidden.txt", sampleBytes(900, 13));
  b.addHiddenEntry(hidden, sampleBytes(900, 99));                    // must never be copied
  b.addFile(0, "long.bin", RunList{{0, sampleBytes(1000, 14), 3}});  // chain outlasts the run
  return b.build();
}

CacheImage shuffledCache(uint32_t version) {
  CacheBuilder b(version);
  b.cacheId(1).blockSize(512).shuffleDataBlocks(3).shuffleBlockEntries(3);
  b.addFile(0, "frag.bin", sampleBytes(20 * 512 + 7, 20));
  // Runs stored out of order of offset, with holes before 1,800 and 3,000.
  const uint32_t runs = b.addFile(0, "runs.bin",
                                  RunList{{3000, sampleBytes(600, 21), 0},
                                          {0, sampleBytes(1000, 22), 0},
                                          {1800, sampleBytes(512, 23), 1}});
  b.addHiddenEntry(runs, sampleBytes(700, 98));
  b.addFile(0, "swapped.bin",
            RunList{{512, sampleBytes(512, 24), 0}, {0, sampleBytes(512, 25), 0}});
  return b.build();
}

TEST_P(ExtractTest, EveryKindOfFileComesOutByteForByteOverAnyFileInTheWay) {
  const CacheImage plain = plainCache(version());
  const CacheImage shuffled = shuffledCache(version());
  const std::string plainPath = writeCache(plain, "plain.gcf");
  const std::string shuffledPath = writeCache(shuffled, "shuffled.gcf");

  // What the shuffled cache must show for these cases to mean anything.
  const std::vector<uint32_t> chain = shuffled.chainOf(shuffled.blockEntriesOf(kFragmented)[0]);
  ASSERT_FALSE(std::is_sorted(chain.begin(), chain.end())) << "frag.bin is not fragmented";
  const std::vector<uint32_t> runEntries = shuffled.blockEntriesOf(kRuns);
  ASSERT_NE(*std::min_element(runEntries.begin(), runEntries.end()), runEntries[0])
      << "the table must list a later run of runs.bin before its first";
  const std::vector<uint32_t> swappedEntries = shuffled.blockEntriesOf(kSwapped);
  ASSERT_GT(swappedEntries[0], swappedEntries[1]) << "swapped.bin's runs must be stored backwards";

  struct Case {
    const CacheImage& image;
    const std::string& cache;
    const char* path;
    uint32_t item;
  };
  const Case cases[] = {
      {plain, plainPath, "docs/guide.txt", kGuide},
      {plain, plainPath, "docs/notes/todo.txt", kTodo},
      {plain, plainPath, "maps/level1.bsp", kLevel1},
      {plain, plainPath, "empty.cfg", kEmpty},
      {plain, plainPath, "hidden.txt", kHidden},
      {plain, plainPath, "long.bin", kLong},
      {shuffled, shuffledPath, "frag.bin", kFragmented},
      {shuffled, shuffledPath, "runs.bin", kRuns},
      {shuffled, shuffledPath, "swapped.bin", kSwapped},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string out = "out" + std::to_string(n++);
    makeDir(out + "/docs/notes");
    makeDir(out + "/maps");
    // Every other output is in the way as a longer file, to be replaced.
    if (n % 2 == 0)
      std::ofstream(at(out) + "/" + c.path, std::ios::binary) << std::string(5000, 'z');
    ProgramRun r = run({"x", c.cache, c.path, at(out)});
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::string head =
        openedLines(c.cache, "Half-Life") + "Found " + c.path + ", attempting to extract...\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_TRUE(r.out.ends_with("\nSuccess!\n")) << describe(r);
    EXPECT_EQ(blocksWritten(r.out), c.image.blockEntriesOf(c.item));
    EXPECT_EQ(readFile(at(out) + "/" + c.path), c.image.expectedContent(c.item));
  }
}

// Every line of a run of two runs: the first stored run is at the higher
// offset, its chain has a spare block, and a hidden entry of the same file
// comes first in the table.
TEST_P(ExtractTest, PrintsEachRunAndBlockAsItWritesThem) {
  CacheBuilder b(version());
  b.cacheId(1).blockSize(16);
  b.addFile(0, "a.txt", sampleBytes(10, 30));  // entry 0, block 0
  const std::string high = sampleBytes(20, 31), low = sampleBytes(16, 32);
  // Entries: hidden 1, then 2 (blocks 1, 2 and the spare 3) and 3 (block 4).
  const uint32_t split = b.addFile(0, "split.bin", RunList{{40, high, 1}, {0, low, 0}});
  b.addHiddenEntry(split, sampleBytes(16, 33));
  const std::string cache = writeCache(b.build(), "small.gcf");
  makeDir("out");

  ProgramRun r = run({"x", cache, "split.bin", at("out")});
  EXPECT_EQ(r.out, openedLines(cache, "Half-Life") +
                       "Found split.bin, attempting to extract...\n"
                       "Writing block 2 (offset 40, size 20)\n"
                       "Writing fragment 1 (size 16)\n"
                       "Writing fragment 2 (size 4)\n"
                       "Writing fragment 3 (size 0)\n"
                       "Writing block 3 (offset 0, size 16)\n"
                       "Writing fragment 4 (size 16)\n"
                       "Success!\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(at("out/split.bin")), low + std::string(24, '\0') + high);
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
