// The tree command: a folder, or the whole cache, with everything in it,
// all or nothing. Run natively and, under Wine, as the Windows program.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

namespace fs = std::filesystem;
using testsupport::CacheBuilder;
using testsupport::CacheImage;
using testsupport::RunList;

// Every item under `folder`: its path from there, and its bytes, or "/" for
// a folder.
std::map<std::string, std::string> treeAt(const std::string& folder) {
  std::map<std::string, std::string> items;
  if (!fs::exists(folder)) return items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string path = fs::relative(entry.path(), folder).generic_string();
    items[path] = entry.is_directory() ? "/" : readFile(entry.path().string());
  }
  return items;
}

class TreeTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    b.addFile(0, "readme.txt", readme_);
    const uint32_t docs = b.addFolder(0, "docs");
    const uint32_t manual = b.addFolder(docs, "manual");
    b.addFile(manual, "guide.txt", guide_);
    b.addFolder(manual, "empty");
    b.addFile(docs, "notes.txt", "");
    // Its runs come in the reverse order of their offsets.
    runs_ = b.addFile(b.addFolder(0, "data"), "runs.bin",
                      RunList{{3000, guide_}, {0, sampleBytes(3000, 62)}});
    image_ = b.build();
    cache_ = writeCache(image_, "c.gcf");
  }

  // The whole cache, as it must come out.
  std::map<std::string, std::string> whole() const {
    return {{"readme.txt", readme_},
            {"docs", "/"},
            {"docs/manual", "/"},
            {"docs/manual/guide.txt", guide_},
            {"docs/manual/empty", "/"},
            {"docs/notes.txt", ""},
            {"data", "/"},
            {"data/runs.bin", image_.expectedContent(runs_)}};
  }

  const std::string readme_ = sampleBytes(700, 60), guide_ = sampleBytes(1300, 61);
  uint32_t runs_ = 0;
  CacheImage image_;
  std::string cache_;
};

TEST_F(TreeTest, ExtractsAFolderTheWholeCacheOrOneFile) {
  const std::string opened = openedLines(cache_, "Half-Life");
  const std::string all = opened +
                          "Writing readme.txt (700 bytes)\n"
                          "Writing docs/manual/guide.txt (1300 bytes)\n"
                          "Writing docs/notes.txt (0 bytes)\n"
                          "Writing data/runs.bin (4300 bytes)\n"
                          "Extracted 4 files and 4 folders (6300 bytes)\n"
                          "Success!\n";
  std::map<std::string, std::string> manual;
  for (const auto& [path, bytes] : whole())
    if (path == "docs" || path.starts_with("docs/manual")) manual[path] = bytes;
  struct Case {
    std::string folder, out;
    std::map<std::string, std::string> tree;
  };
  const Case cases[] = {
      {"/", all, whole()},
      {"\\", all, whole()},
      {"", all, whole()},
      // Found in any case, written as the cache spells it.
      {"DOCS\\Manual",
       opened + "Writing docs/manual/guide.txt (1300 bytes)\n"
                "Extracted 1 file and 3 folders (1300 bytes)\nSuccess!\n",
       manual},
      {"data/runs.bin",
       opened + "Writing data/runs.bin (4300 bytes)\n"
                "Extracted 1 file and 1 folder (4300 bytes)\nSuccess!\n",
       {{"data", "/"}, {"data/runs.bin", image_.expectedContent(runs_)}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    // The destination is made where it is missing.
    const std::string out = "out" + std::to_string(n++);
    ProgramRun r = run({"a", cache_, c.folder, out});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(treeAt(at(out)), c.tree);
  }
  // Again over what it made: every file replaced, keeping its mode, and
  // nothing else there.
  const std::string guide = at("out0/docs/manual/guide.txt");
  std::ofstream(guide, std::ios::binary) << "old";
  fs::permissions(guide, fs::perms::owner_read | fs::perms::owner_write);
  ProgramRun r = run({"a", cache_, "/", "out0"});
  EXPECT_EQ(r.out, all);
  EXPECT_EQ(treeAt(at("out0")), whole());
  if (runsNatively()) {
    EXPECT_EQ(fs::status(guide).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
}

TEST_F(TreeTest, RefusesWhatItCannotExtractAndChangesNothing) {
  const std::string opened = openedLines(cache_, "Half-Life");
  makeDir("out/docs/manual/guide.txt");  // a folder where the cache has a file
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  std::ofstream(at("out/data"), std::ios::binary) << "a file where the cache has a folder";
  const std::map<std::string, std::string> before = treeAt(at("out"));
  const std::string tooFew =
      "You must supply the gcf filename, a folder to extract and a directory to extract to.\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"a", cache_, "/"}, tooFew},
      {{"a", cache_, "nowhere", "out"}, opened + "Couldn't find nowhere in directory\n"},
      {{"a", cache_, "docs", "out"},
       opened + "Couldn't create file docs/manual/guide.txt - do all directorys exist?\n"},
      {{"a", cache_, "data", "out"},
       opened + "Couldn't create file data - do all directorys exist?\n"},
      {{"a", cache_, "/", "missing/out"},
       opened + "Couldn't create file missing/out - do all directorys exist?\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(treeAt(at("out")), before);
  }
  EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "out"}));
}

// Names that would leave the destination, or that two items share in one
// folder, stop the run before anything is created.
TEST_F(TreeTest, UnsafeAndSharedNamesAreRefused) {
  const std::pair<const char*, const char*> names[] = {{"..", "x"}, {"a", "a"}, {"", "x"}};
  for (const auto& [first, second] : names) {
    SCOPED_TRACE(first);
    CacheBuilder b;
    b.cacheId(1);
    b.addFile(b.addFolder(0, "top"), "fine.txt", "fine");
    const uint32_t folder = b.addFolder(0, "bad");
    b.addFile(folder, first, "one");
    b.addFile(folder, second, "two");
    const std::string cache = writeCache(b.build(), "bad.gcf");
    ProgramRun r = run({"a", cache, "/", "out"});
    EXPECT_EQ(r.out, openedLines(cache, "Half-Life") + "Couldn't create file bad/" + first +
                         " - do all directorys exist?\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listFolder(""), (std::vector<std::string>{"bad.gcf", "c.gcf"}));
  }
}

// What the cache does not hold whole: each file named by the path the tree
// would have, with why, by the check, the long listing and the tree
// command; all or nothing, or with --salvage every whole file and nothing
// at the others' paths.
TEST_F(TreeTest, SaysOfEachFileWhetherTheCacheHoldsItWholeAndSalvagesTheWholeOnes) {
  using namespace testsupport::fields;
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  const uint32_t data = b.addFolder(0, "data");
  b.addFile(data, "whole.txt", guide_);
  const uint32_t shortFile = b.addFile(data, "short.bin", sampleBytes(1300, 63));
  const uint32_t sizeOnly = b.addFile(data, "sizeonly.bin", RunList{});
  const uint32_t broken =
      b.addFile(b.addFolder(data, "sound"), "broken.wav", sampleBytes(1300, 64));
  const uint32_t past = b.addFile(data, "past.bin", sampleBytes(700, 65));
  const uint32_t sub = b.addFolder(data, "sub");
  b.addFile(0, "readme.txt", readme_);
  CacheImage image = b.build();
  const testsupport::CacheLayout& l = image.layout();
  const auto chainOf = [&](uint32_t item) { return image.chainOf(image.blockEntriesOf(item)[0]); };
  image.set32(l.fragment(chainOf(shortFile)[1]), 0xFFFF);    // one block short
  image.set32(l.directoryEntry(sizeOnly, kItemSize), 5000);  // a size and no block entry
  image.set32(l.fragment(chainOf(broken)[0]), 0x7FFF);       // a broken chain in the middle
  image.set32(l.directoryEntry(past, kItemSize), 600);       // bytes past the recorded size
  image.set32(l.directoryEntry(sub, kFirstChild), 0x7FFF);   // a folder that cannot be entered
  const std::string cache = writeCache(image, "damaged.gcf");
  CacheImage partial = image_;
  partial.set32(partial.layout().directoryEntry(runs_, kItemSize), 5000);
  const std::string partialCache = writeCache(partial, "partial.gcf");
  makeDir("out/data");
  std::ofstream(at("out/data/short.bin"), std::ios::binary) << "the user's";
  std::ofstream(at("out/data/whole.txt"), std::ios::binary) << "old";
  const std::map<std::string, std::string> before = treeAt(at("out"));

  const std::string opened = openedLines(cache, "Half-Life");
  const std::string shortLine =
      "Incomplete file: data/short.bin: 1024 of 1300 bytes are in the cache.\n";
  const std::string brokenLine =
      "Corrupt file: data/sound/broken.wav: data block 32767 is "
      "outside the " +
      std::to_string(l.dataBlockCount) + " data blocks.\n";
  const std::string named =
      shortLine + "Incomplete file: data/sizeonly.bin: 0 of 5000 bytes are in the cache.\n" +
      brokenLine +
      "Corrupt file: data/past.bin: the runs of the file reach byte 700, past the 600 bytes its "
      "directory entry records.\n"
      "Corrupt folder: data/sub: item " +
      std::to_string(sub) +
      " links to item 32767, outside "
      "the directory of " +
      std::to_string(l.itemCount) + " items.\n";
  const std::string counts = "2 damaged files, 2 incomplete files and 1 damaged folder.\n";
  const std::string records =
      "         -  -  data/|      1300  -  data/whole.txt|"
      "      1300  incomplete (1024 of 1300 bytes)  data/short.bin|"
      "      5000  incomplete (0 of 5000 bytes)  data/sizeonly.bin|"
      "         -  -  data/sound/|      1300  damaged  data/sound/broken.wav|"
      "       600  damaged  data/past.bin|         -  -  data/sub/|         -  damaged  data/sub/|"
      "       700  -  readme.txt|";
  const auto ended = [&](char end) {
    std::string text = records;
    std::replace(text.begin(), text.end(), '|', end);
    return text;
  };
  std::map<std::string, std::string> salvaged = before;
  salvaged.insert({{"data/sound", "/"}, {"data/sub", "/"}, {"readme.txt", readme_}});
  salvaged["data/whole.txt"] = guide_;
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::map<std::string, std::string> after;
  };
  const Case cases[] = {
      {{"t", cache}, opened + named + "Checked 6 files, 10200 bytes: " + counts, 2, before},
      {{"t", cache, "DATA/Sound"},
       opened + brokenLine + "Checked 1 file, 1300 bytes: 1 damaged file.\n",
       2,
       before},
      {{"t", cache, "readme.txt"}, opened + "Checked 1 file, 700 bytes: all whole.\n", 0, before},
      {{"l", "--long", cache},
       opened + ended('\n') + "6 files, 3 folders: 10200 bytes recorded, 3024 in the cache\n",
       2,
       before},
      {{"l", cache, "-0"}, ended('\0'), 2, before},
      {{"l", "-0", partialCache},
       std::string("       700  -  readme.txt\0         -  -  docs/\0         -  -  docs/manual/\0"
                   "      1300  -  docs/manual/guide.txt\0         -  -  docs/manual/empty/\0"
                   "         0  -  docs/notes.txt\0         -  -  data/\0"
                   "      5000  incomplete (4300 of 5000 bytes)  data/runs.bin\0",
                   256),
       2,
       before},
      {{"a", cache, "/", "out"},
       opened + shortLine +
           "Nothing was extracted; add --salvage to extract every file the cache holds whole.\n",
       1,
       before},
      {{"a", cache, "/", "--salvage", "out"},
       opened + named + "Writing data/whole.txt (1300 bytes)\nWriting readme.txt (700 bytes)\n" +
           "Extracted 2 files and 3 folders (2000 bytes); left out " + counts,
       2,
       salvaged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(treeAt(at("out")), c.after);
  }
  // A tree that would be made whole is not made at all.
  EXPECT_EQ(run({"a", cache, "data/sound", "new"}).status, 1);
  EXPECT_EQ(listFolder(""),
            (std::vector<std::string>{"c.gcf", "damaged.gcf", "out", "partial.gcf"}));
}

// An interrupt in the middle of a tree, or of a salvage: nothing new is
// left, and the files it would have replaced are as they were.
TEST_F(TreeTest, AnInterruptMidTreeLeavesTheDestinationAsItWas) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  CacheBuilder b;
  b.cacheId(1);
  const uint32_t gone = b.addFile(0, "gone.bin", RunList{});
  for (int i = 0; i < 4000; ++i) b.addFile(b.addFolder(0, "f" + std::to_string(i)), "x.txt", "x");
  CacheImage image = b.build();
  const std::string cache = writeCache(image, "many.gcf");
  image.set32(image.layout().directoryEntry(gone, testsupport::fields::kItemSize), 10);
  const std::string incomplete = writeCache(image, "incomplete.gcf");
  makeDir("out/f1");
  std::ofstream(at("out/f1/x.txt"), std::ios::binary) << "the user's";
  for (const auto& [signal, args] :
       {std::pair{SIGINT, std::vector<std::string>{"a", cache, "/", at("out")}},
        {SIGTERM, {"a", cache, "/", at("out")}},
        {SIGINT, {"a", "--salvage", incomplete, "/", at("out")}}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    StartedProgram program(args, root());
    ASSERT_TRUE(program.waitUntilOutputBlocks());
    ::kill(program.pid(), signal);
    EXPECT_EQ(program.finish().status, 128 + signal);
    EXPECT_EQ(treeAt(at("out")),
              (std::map<std::string, std::string>{{"f1", "/"}, {"f1/x.txt", "the user's"}}));
  }
}

// A failure to write "Success!" once the tree is in place takes it all back:
// the new folders and files go, and the replaced files return, swapped or
// kept under a second name where the file system cannot swap.
TEST_F(TreeTest, AFailureToSaySuccessTakesTheTreeBack) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  makeDir("out/docs");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  for (const char* refused : {"success", "exchange,success"}) {
    SCOPED_TRACE(refused);
    for (const char* dir : {"out", "new"}) {
      const ProgramRun r = run({"a", cache_, "/", at(dir)}, {}, refusing(refused));
      EXPECT_EQ(r.status, 1) << describe(r);
    }
    EXPECT_EQ(treeAt(at("out")), (std::map<std::string, std::string>{
                                     {"docs", "/"}, {"readme.txt", "the user's readme"}}));
    EXPECT_FALSE(exists(at("new")));
  }
}

}  // namespace
}  // namespace vaultcat::e2e
