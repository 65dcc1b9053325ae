// The tree command: a folder, or the whole cache, with everything in it,
// all or nothing. Run natively and, under Wine, as the Windows program.
#include <signal.h>

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
    holes_ = b.addFile(b.addFolder(0, "data"), "holes.bin", RunList{{3000, guide_}, {0, "abc"}});
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
            {"data/holes.bin", image_.expectedContent(holes_)}};
  }

  const std::string readme_ = sampleBytes(700, 60), guide_ = sampleBytes(1300, 61);
  uint32_t holes_ = 0;
  CacheImage image_;
  std::string cache_;
};

TEST_F(TreeTest, ExtractsAFolderTheWholeCacheOrOneFile) {
  const std::string opened = openedLines(cache_, "Half-Life");
  const std::string all = opened +
                          "Writing readme.txt (700 bytes)\n"
                          "Writing docs/manual/guide.txt (1300 bytes)\n"
                          "Writing docs/notes.txt (0 bytes)\n"
                          "Writing data/holes.bin (4300 bytes)\n"
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
      {"data/holes.bin",
       opened + "Writing data/holes.bin (4300 bytes)\n"
                "Extracted 1 file and 1 folder (4300 bytes)\nSuccess!\n",
       {{"data", "/"}, {"data/holes.bin", image_.expectedContent(holes_)}}},
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
  // The system words its own reasons: natively as here, under Wine as it
  // likes, so there only the start of the line is compared.
  const std::string missing = runsNatively() ? " (No such file or directory)\n" : " (";
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {{"a", cache_, "/"}, tooFew},
      {{"a", cache_, "nowhere", "out"}, opened + "Couldn't find nowhere in directory\n"},
      {{"a", cache_, "docs", "out"},
       opened + "Couldn't create file docs/manual/guide.txt - do all directorys exist? (a "
                "folder is in its place)\n"},
      {{"a", cache_, "data", "out"},
       opened + "Couldn't create file data - do all directorys exist? (a file is in its place)\n"},
      {{"a", cache_, "/", "missing/out"},
       opened + "Couldn't create file missing/out - do all directorys exist?" + missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ProgramRun r = run(c.args);
    EXPECT_EQ(runsNatively() ? r.out : r.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(treeAt(at("out")), before);
  }
  EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "out"}));
}

// Names that would leave the destination, or that two items share in one
// folder, stop the run before anything is created.
TEST_F(TreeTest, UnsafeAndSharedNamesAreRefused) {
  const std::string unsafe = "not a name that can be written safely";
  const std::string names[][3] = {{"..", "x", unsafe},
                                  {"a", "a", "another item in its folder has the same name"},
                                  {"", "x", unsafe}};
  for (const auto& [first, second, why] : names) {
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
                         " - do all directorys exist? (" + why + ")\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listFolder(""), (std::vector<std::string>{"bad.gcf", "c.gcf"}));
  }
}

// Damage in the last file is found after everything else is written: the
// destination is left as it was, the user's files too.
TEST_F(TreeTest, DamageInTheLastFileLeavesNothing) {
  CacheImage damaged = image_;
  const uint32_t last = damaged.blockEntriesOf(holes_).back();
  damaged.set32(damaged.layout().blockEntry(last, testsupport::fields::kFirstDataBlock), 0x7FFF);
  const std::string cache = writeCache(damaged, "damaged.gcf");
  makeDir("out/docs");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  ProgramRun r = run({"a", cache, "/", "out"});
  EXPECT_TRUE(
      r.out.ends_with("Writing docs/notes.txt (0 bytes)\nCorrupt file: data block 32767 is "
                      "outside the 9 data blocks.\n"))
      << describe(r);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(treeAt(at("out")), (std::map<std::string, std::string>{
                                   {"docs", "/"}, {"readme.txt", "the user's readme"}}));
  r = run({"a", cache, "/", "new"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(exists(at("new")));
  EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "damaged.gcf", "out"}));
}

// An interrupt in the middle of a tree: nothing new is left, and the files
// it would have replaced are as they were.
TEST_F(TreeTest, AnInterruptMidTreeLeavesTheDestinationAsItWas) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  CacheBuilder b;
  b.cacheId(1);
  for (int i = 0; i < 4000; ++i) b.addFile(b.addFolder(0, "f" + std::to_string(i)), "x.txt", "x");
  const std::string cache = writeCache(b.build(), "many.gcf");
  makeDir("out/f1");
  std::ofstream(at("out/f1/x.txt"), std::ios::binary) << "the user's";
  for (const int signal : {SIGINT, SIGTERM}) {
    StartedProgram program({"a", cache, "/", at("out")}, root());
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
