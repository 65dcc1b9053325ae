// The tree command: a folder, or the whole cache, with everything in it,
// all or nothing. Run natively and, under Wine, as the Windows program.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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
    std::vector<std::string> items;  // and options
    std::string out;
    std::map<std::string, std::string> tree;
  };
  const Case cases[] = {
      {{"/"}, all, whole()},
      {{"\\"}, all, whole()},
      {{""}, all, whole()},
      // Found in any case, written as the cache spells it; separators at
      // either end name nothing.
      {{"/DOCS\\Manual\\"},
       opened + "Writing docs/manual/guide.txt (1300 bytes)\n"
                "Extracted 1 file and 3 folders (1300 bytes)\nSuccess!\n",
       manual},
      {{"data/runs.bin"},
       opened + "Writing data/runs.bin (4300 bytes)\n"
                "Extracted 1 file and 1 folder (4300 bytes)\nSuccess!\n",
       {{"data", "/"}, {"data/runs.bin", image_.expectedContent(runs_)}}},
      // Several, the last argument the destination: each once, what lies
      // in another with it, in the order first named.
      {{"data/runs.bin", "docs/manual/guide.txt", "DOCS/", "readme.txt", "docs"},
       opened + "Writing data/runs.bin (4300 bytes)\nWriting docs/manual/guide.txt (1300 bytes)\n"
                "Writing docs/notes.txt (0 bytes)\nWriting readme.txt (700 bytes)\n"
                "Extracted 4 files and 4 folders (6300 bytes)\nSuccess!\n",
       whole()},
      {{"readme.txt", "/"}, all, whole()},
      // Only what went wrong, and the summary.
      {{"-q", "docs/manual"}, "Extracted 1 file and 3 folders (1300 bytes)\nSuccess!\n", manual},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.items));
    // The destination is made where it is missing.
    const std::string out = "out" + std::to_string(n++);
    std::vector<std::string> args = {"a", cache_};
    args.insert(args.end(), c.items.begin(), c.items.end());
    args.push_back(out);
    ProgramRun r = run(args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(treeAt(at(out)), c.tree);
  }
  // Again over what it made: a file that holds the cache's bytes and more
  // is replaced, keeping its mode, and so is one of the same length with
  // one byte changed;
  // those that hold the cache's bytes stay as they are, their number and
  // time too; and nothing else is there.
  const std::string guide = at("out0/docs/manual/guide.txt");
  std::ofstream(guide, std::ios::binary) << guide_ << "and more";
  fs::permissions(guide, fs::perms::owner_read | fs::perms::owner_write);
  std::string runs = image_.expectedContent(runs_);
  runs[2999] ^= 1;
  std::ofstream(at("out0/data/runs.bin"), std::ios::binary) << runs;
  const auto stamps = [&] {
    std::map<std::string, std::pair<ino_t, fs::file_time_type>> seen;
    for (const auto& [path, bytes] : whole()) {
      struct stat info {};
      if (bytes != "/" && ::stat(at("out0/" + path).c_str(), &info) == 0)
        seen[path] = {info.st_ino, fs::last_write_time(at("out0/" + path))};
    }
    return seen;
  };
  for (const char* path : {"readme.txt", "docs/notes.txt"})
    fs::last_write_time(at("out0/") + path,
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
  const auto before = stamps();
  ProgramRun r = run({"a", cache_, "/", "out0"});
  EXPECT_EQ(r.out, opened +
                       "Writing docs/manual/guide.txt (1300 bytes)\n"
                       "Writing data/runs.bin (4300 bytes)\n"
                       "Extracted 2 files and 4 folders (5600 bytes), 2 files unchanged\n"
                       "Success!\n");
  EXPECT_EQ(treeAt(at("out0")), whole());
  auto after = stamps();
  for (const char* path : {"readme.txt", "docs/notes.txt"})
    EXPECT_EQ(after[path], before.at(path)) << path;
  for (const char* path : {"docs/manual/guide.txt", "data/runs.bin"})
    EXPECT_NE(after[path].first, before.at(path).first) << path;
  if (runsNatively()) {
    EXPECT_EQ(fs::status(guide).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  r = run({"a", cache_, "/", "out0", "-q"});
  EXPECT_EQ(r.out, "Extracted 0 files and 4 folders (0 bytes), 4 files unchanged\nSuccess!\n");
  EXPECT_EQ(stamps(), after);
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
      // Of several items, one not found or not writable changes nothing.
      {{"a", cache_, "docs/manual/", "nowhere", "out"},
       opened + "Couldn't find nowhere in directory\n"},
      {{"a", cache_, "readme.txt", "data", "out"},
       opened + "Couldn't create file data - do all directorys exist? (a file is in its place)\n"},
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

// A destination that already holds part of the tree gets what it lacks and
// keeps what the cache does not hold, also where the system cannot swap two
// names, make a name only where there is none, or link a file. A link where
// the cache has a folder or a file, to a folder inside the destination or
// outside it, is neither followed nor replaced: the run changes nothing,
// there or where it points. What the run creates takes the umask's modes,
// the destination too.
TEST_F(TreeTest, APartlyPresentDestinationGetsWhatItLacksAndNoLinkIsFollowed) {
  std::map<std::string, std::string> tree = whole();
  tree["docs/mine.txt"] = "the user's";
  ProgramRun r;
  for (const char* refused : {"", "exchange", "exchange,link", "noreplace", "noreplace,link"}) {
    SCOPED_TRACE(refused);
    fs::remove_all(at("out"));
    makeDir("out/docs/manual");
    makeDir("out/data");
    std::ofstream(at("out/docs/mine.txt"), std::ios::binary) << "the user's";
    std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
    r = run({"a", cache_, "/", "out"}, {}, *refused ? refusing(refused) : RunOptions{});
    EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
    EXPECT_EQ(treeAt(at("out")), tree);
    if (!runsNatively()) return;
  }

  makeDir("elsewhere");
  const std::pair<std::string, std::string> links[] = {
      {"docs", at("elsewhere")},          {"docs", "data"},
      {"docs/manual", "../../elsewhere"}, {"readme.txt", at("elsewhere/readme.txt")},
      {"data/runs.bin", "../readme.txt"},
  };
  for (const auto& [path, target] : links) {
    SCOPED_TRACE(path + " -> " + target);
    fs::remove_all(at("out"));
    makeDir("out/docs");
    makeDir("out/data");
    fs::remove_all(at("out/" + path));
    fs::create_symlink(target, at("out/" + path));
    const std::map<std::string, std::string> before = treeAt(at("out"));
    r = run({"a", cache_, "/", "out"});
    EXPECT_EQ(r.out, openedLines(cache_, "Half-Life") + "Couldn't create file " + path +
                         " - do all directorys exist? (a link, a device or a file that may not "
                         "be replaced is in its place)\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(treeAt(at("out")), before);
    EXPECT_EQ(treeAt(at("elsewhere")), (std::map<std::string, std::string>{}));
  }

  makeDir("made");
  for (const int umask : {077, 027, 002}) {
    SCOPED_TRACE(umask);
    fs::remove_all(at("made/new"));
    r = run({"a", cache_, "/", "made/new"}, {}, {.umask = umask});
    EXPECT_EQ(r.status, 0) << describe(r);
    const auto modeOf = [&](const char* path) {
      return static_cast<int>(fs::status(at(path)).permissions());
    };
    EXPECT_EQ(modeOf("made/new"), 0777 & ~umask);
    EXPECT_EQ(modeOf("made/new/docs/manual/empty"), 0777 & ~umask);
    EXPECT_EQ(modeOf("made/new/docs/manual/guide.txt"), 0666 & ~umask);
    EXPECT_EQ(modeOf("made/new/readme.txt"), 0666 & ~umask);
  }
}

// Names that would leave the destination, that two items share in one
// folder, or that the system cannot take, stop the run before anything is
// created; a salvage leaves each such item out, a folder with all it holds,
// names it, and writes the rest.
TEST_F(TreeTest, UnsafeAndSharedNamesAreRefusedOrLeftOutOfASalvage) {
  const std::string unsafe = "not a name that can be written safely";
  const std::string own = "vaultcat keeps names of this shape for its own hidden folders";
  // A folder of the first name holds a file; "" for a file of that name.
  struct Case {
    std::string first, second, why;
    bool folder;
  };
  const Case cases[] = {
      {"..", "x", unsafe, false},
      {"a", "a", "another item in its folder has the same name", false},
      {"", "x", unsafe, false},
      {"..", "x", unsafe, true},
      // Names of the program's own: a staging folder, a file's temporary.
      {".vaultcat-zzzzzzzz", "x", own, true},
      {".a.VAULTCAT-abcdefg2", "x", own, false},
      // The Windows program cannot write a double quote, the others can.
      {"say \"a\"", "x", runsNatively() ? "" : unsafe, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + (c.folder ? "/" : ""));
    CacheBuilder b;
    b.cacheId(1);
    b.addFile(b.addFolder(0, "top"), "fine.txt", "fine");
    const uint32_t folder = b.addFolder(0, "bad");
    if (c.folder) {
      b.addFile(b.addFolder(folder, c.first), "inside.txt", "in");
    } else {
      b.addFile(folder, c.first, "one");
    }
    b.addFile(folder, c.second, "two");
    const std::string cache = writeCache(b.build(), "bad.gcf");
    fs::remove_all(at("out"));
    ProgramRun r = run({"a", cache, "/", "out"});
    if (c.why.empty()) {
      EXPECT_EQ(r.status, 0) << describe(r);
      continue;
    }
    EXPECT_EQ(r.out, openedLines(cache, "Half-Life") + "Couldn't create file bad/" + c.first +
                         " - do all directorys exist? (" + c.why + ")\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listFolder(""), (std::vector<std::string>{"bad.gcf", "c.gcf"}));
    r = run({"a", "-s", cache, "/", "out"});
    const std::string line = std::string("Unwritable ") + (c.folder ? "folder" : "file") +
                             ": bad/" + c.first + ": " + c.why + ".\n";
    EXPECT_EQ(r.out.find(openedLines(cache, "Half-Life") + line), 0u) << r.out;
    EXPECT_NE(
        r.out.find("; left out 1 unwritable " + std::string(c.folder ? "folder" : "file") + ".\n"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.status, 2);
    const std::string kept = c.first == c.second ? "one" : "two";
    EXPECT_EQ(
        treeAt(at("out")),
        (std::map<std::string, std::string>{
            {"top", "/"}, {"top/fine.txt", "fine"}, {"bad", "/"}, {"bad/" + c.second, kept}}));
    if (!c.folder) continue;
    // Named through the folder left out, a file is left out with it.
    fs::remove_all(at("out"));
    r = run({"a", "-s", cache, "bad/" + c.first + "/inside.txt", "out"});
    EXPECT_EQ(r.status, 2) << describe(r);
    EXPECT_EQ(treeAt(at("out")), (std::map<std::string, std::string>{{"bad", "/"}}));
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
      {{"t", "-q", cache}, named + "Checked 6 files, 10200 bytes: " + counts, 2, before},
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

// Two copies of one cache, damaged in other files, salvaged one after the
// other into one folder, in either order, with or without --partial: every
// file either holds whole comes out whole, a part or a damaged file never
// takes the place of a whole one, and the parts of a file neither holds
// whole are joined into one that holds what each has, its holes left
// holes. A file of its length with other bytes there, or of another
// length, is left as it is.
TEST_F(TreeTest, SalvagesOfTwoDamagedCopiesGiveEveryFileEitherHoldsWhole) {
  const std::string a = sampleBytes(1500, 70), b = sampleBytes(1300, 71);
  // c: three runs a mebibyte apart, with holes between them in every copy.
  const std::string c0 = sampleBytes(1024, 72), c1 = sampleBytes(1024, 73),
                    c2 = sampleBytes(1024, 74);
  const size_t gap = (size_t{1} << 20) - 1024;
  CacheBuilder builder;
  builder.cacheId(1).blockSize(512);
  const uint32_t fileA = builder.addFile(0, "a.bin", a);
  const uint32_t fileB = builder.addFile(0, "b.bin", b);
  const uint32_t fileC =
      builder.addFile(0, "c.bin", RunList{{0, c0}, {1 << 20, c1}, {2 << 20, c2}});
  const CacheImage healthy = builder.build();
  const testsupport::CacheLayout& l = healthy.layout();
  // A chain that ends after its first block: its run holds 512 bytes.
  const auto cutRun = [&](CacheImage& image, uint32_t file, size_t run) {
    image.set32(l.fragment(healthy.chainOf(healthy.blockEntriesOf(file)[run])[0]),
                testsupport::kEndOfChain);
  };
  CacheImage first = healthy, second = healthy;
  cutRun(first, fileA, 0);
  first.set32(l.fragment(healthy.chainOf(healthy.blockEntriesOf(fileB)[0])[1]), 0x7FFF);
  cutRun(first, fileC, 1);
  cutRun(second, fileC, 2);
  const std::string one = writeCache(first, "first.gcf"), two = writeCache(second, "second.gcf");
  const std::string zeros(512, '\0');
  const std::string firstC = c0 + std::string(gap, '\0') + c1.substr(0, 512) + zeros +
                             std::string(gap, '\0') + c2,
                    bothC = c0 + std::string(gap, '\0') + c1 + std::string(gap, '\0') + c2;
  const std::string cLine = "Incomplete file: c.bin: written in part, 2560 of 2098176 bytes";
  struct Case {
    std::string earlier, earlierOption, later, laterOption;
    std::string c;          // what c.bin holds at the end; empty for nothing
    std::string laterLine;  // a line of the later run
  };
  const Case cases[] = {
      {one, "-sp", two, "-sp", bothC, cLine + ", added to the part already there.\n"},
      {two, "-sp", one, "-sp", bothC,
       "Incomplete file: a.bin: 512 of 1500 bytes are in the cache; the file already there "
       "holds them all.\n" +
           cLine + ", added to the part already there.\n"},
      {one, "-sp", two, "-s", firstC,
       "Incomplete file: c.bin: 2560 of 2098176 bytes are in the cache.\n"},
      {two, "-s", one, "-sp", firstC, cLine + ".\n"},
      {one, "-s", two, "-s", "", "Writing b.bin (1300 bytes)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.earlier + " " + c.earlierOption + ", then " + c.later + " " + c.laterOption);
    fs::remove_all(at("out"));
    EXPECT_EQ(run({"a", c.earlierOption, c.earlier, "/", "out"}).status, 2);
    const ProgramRun later = run({"a", c.laterOption, c.later, "/", "out"});
    EXPECT_EQ(later.status, 2);
    EXPECT_NE(later.out.find(c.laterLine), std::string::npos) << later.out;
    std::map<std::string, std::string> expected = {{"a.bin", a}, {"b.bin", b}};
    if (!c.c.empty()) expected["c.bin"] = c.c;
    EXPECT_EQ(listFolder("out").size(), expected.size());
    for (const auto& [path, bytes] : expected)
      EXPECT_TRUE(exists(at("out/" + path)) && readFile(at("out/" + path)) == bytes) << path;
    // The holes of a part take no room on the disk.
    struct stat info {};
    if (runsNatively() && !c.c.empty()) {
      EXPECT_EQ(::stat(at("out/c.bin").c_str(), &info), 0);
      EXPECT_LT(info.st_blocks * 512, 1 << 20);
    }
  }
  for (const std::string& there : {sampleBytes(bothC.size(), 75), bothC.substr(1)}) {
    std::ofstream(at("out/c.bin"), std::ios::binary) << there;
    const ProgramRun r = run({"a", "-sp", one, "/", "out"});
    EXPECT_NE(r.out.find("Incomplete file: c.bin: 2560 of 2098176 bytes are in the cache; the file "
                         "already there differs, and is left as it is.\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(readFile(at("out/c.bin")) == there);
  }
}

// On a terminal a run shows one status line, redrawn while it goes, then
// the summary; -v prints the line of each file there too, as to a pipe. A
// reader that goes away while the run's text is still its own stops the
// run within a second: nothing is left, and standard error says why.
TEST_F(TreeTest, ATerminalSeesOneStatusLineAndAReaderThatGoesStopsTheRun) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  CacheBuilder b;
  b.cacheId(1);
  const uint32_t folder = b.addFolder(0, "slow");
  for (int i = 0; i < 40; ++i) b.addFile(folder, "f" + std::to_string(i) + ".bin", "x");
  const std::string cache = writeCache(b.build(), "slow.gcf");
  // Every file takes a twentieth of a second to write.
  RunOptions slowed = refusing("slow");
  RunOptions slowedTerminal = slowed;
  slowedTerminal.terminalOutput = true;
  const std::string summary = "Extracted 40 files and 1 folder (40 bytes)\nSuccess!\n";

  StartedProgram shown({"a", cache, "/", at("shown")}, root(), slowedTerminal);
  ASSERT_TRUE(shown.readOutputUntil(" of 40 files, "));
  EXPECT_FALSE(shown.exitsWithin(std::chrono::milliseconds(0)));
  ProgramRun r = shown.finish();
  EXPECT_TRUE(r.status == 0 && r.out.starts_with(openedLines(cache, "Half-Life") + "\rWriting ") &&
              r.out.ends_with("\r" + summary) && r.out.find("Writing slow/") == std::string::npos)
      << describe(r);

  r = run({"a", "-v", cache, "slow/f7.bin", at("lines")}, {}, {.terminalOutput = true});
  EXPECT_EQ(r.out, openedLines(cache, "Half-Life") + "Writing slow/f7.bin (1 byte)\n" +
                       "Extracted 1 file and 1 folder (1 byte)\nSuccess!\n");

  StartedProgram gone({"a", cache, "/", at("gone")}, root(), slowed);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  gone.closeOutputReader();
  EXPECT_TRUE(gone.exitsWithin(std::chrono::seconds(1)));
  r = gone.finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "vaultcat: standard output can no longer be written, so the run stopped and nothing "
            "was changed\n");
  EXPECT_FALSE(exists(at("gone")));
}

// On a terminal narrower than the status line would be, with names of wide
// and combining characters, the line is cut to the terminal's columns: it
// never wraps, each redraw covers the last, and the summary leaves nothing
// of it. The screen is read back from tmux, a terminal that measures
// characters itself.
TEST_F(TreeTest, TheStatusLineFitsTheTerminalWhateverItsNamesAreMadeOf) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  if (std::system("command -v tmux >/dev/null") != 0)
    GTEST_SKIP() << "no tmux (Debian: tmux) to read the screen back from";
  CacheBuilder b;
  b.cacheId(1);
  const uint32_t folder = b.addFolder(0, "\u30EF\u30A4\u30C9");  // three wide characters
  for (uint32_t i = 0; i < 30; ++i) {
    b.addFile(folder,
              "\u30C7\u30FC\u30BF\u30D5\u30A1\u30A4\u30EB" + std::to_string(100 + i) +
                  "\u756A\u306E\u9577\u3044\u540D\u524Dcafe\u0301.bin",
              sampleBytes(10, i));
  }
  writeCache(b.build(), "w.gcf");
  std::string command = "cd " + root() + " && env LC_ALL=C.UTF-8";
  for (const std::string& setting : refusing("slow").environment) command += " " + setting;
  command += std::string(" ") + VAULTCAT_PROGRAM + " a w.gcf / out; sleep 60";
  const std::string tmux = "LC_ALL=C.UTF-8 tmux -f /dev/null -S " + at("tmux") + " ";
  ASSERT_EQ(std::system((tmux + "new-session -d -x 80 -y 12 '" + command + "'").c_str()), 0);
  const auto screen = [&] {
    std::string rows;
    if (FILE* pane = ::popen((tmux + "capture-pane -p").c_str(), "r")) {
      char buffer[4096];
      for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pane)) > 0;) rows.append(buffer, n);
      ::pclose(pane);
    }
    return rows;
  };
  const std::string opened = "Opened w.gcf\nIdentified GCF as: Half-Life\n\n";
  bool drawn = false;
  std::string rows;
  for (int i = 0; i < 400 && rows.find("Success!") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    rows = screen();
    const size_t status = rows.find(opened + "Writing ");
    if (status == std::string::npos) continue;
    // One row, drawn over the last: nothing of it on the next row.
    drawn = true;
    const size_t end = rows.find('\n', status + opened.size());
    EXPECT_EQ(rows.find_first_not_of('\n', end), std::string::npos) << rows;
  }
  EXPECT_TRUE(drawn);
  EXPECT_EQ(rows.substr(0, rows.find_last_not_of('\n') + 1),
            opened + "Extracted 30 files and 1 folder (300 bytes)\nSuccess!");
  EXPECT_EQ(std::system((tmux + "kill-server").c_str()), 0);
}

// A failure to write "Success!" once the tree is in place takes it all back:
// the new folders and files go, and the replaced files return, swapped,
// kept under a second name, or moved aside where the file system can do
// neither; a file that held the cache's bytes already was never touched.
// A disk that fails to sync fails a run that replaces files, and only such
// a run.
TEST_F(TreeTest, AFailureToSaySuccessTakesTheTreeBack) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  makeDir("out/docs/manual");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  const std::string guide = at("out/docs/manual/guide.txt");
  std::ofstream(guide, std::ios::binary) << guide_;
  struct stat kept {};
  ASSERT_EQ(::stat(guide.c_str(), &kept), 0);
  for (const char* refused : {"success", "exchange,success", "exchange,link,success", "sync"}) {
    SCOPED_TRACE(refused);
    for (const char* dir : {"out", "new"}) {
      const ProgramRun r = run({"a", cache_, "/", at(dir)}, {}, refusing(refused));
      const bool replaces = std::string_view(dir) == "out";
      EXPECT_EQ(r.status, replaces || std::string_view(refused) != "sync" ? 1 : 0) << describe(r);
      if (r.status == 0) fs::remove_all(at(dir));
    }
    EXPECT_EQ(treeAt(at("out")),
              (std::map<std::string, std::string>{{"docs", "/"},
                                                  {"docs/manual", "/"},
                                                  {"docs/manual/guide.txt", guide_},
                                                  {"readme.txt", "the user's readme"}}));
    struct stat there {};
    EXPECT_EQ(::stat(guide.c_str(), &there), 0);
    EXPECT_EQ(there.st_ino, kept.st_ino);
    EXPECT_EQ(there.st_ctim.tv_nsec, kept.st_ctim.tv_nsec);
    EXPECT_FALSE(exists(at("new")));
  }
}

// A file that replaces the user's is on disk before it takes the old one's
// place, by x as by a, whether a synced its files one by one or its whole
// file system: in the calls the run makes, as the preload notes them, each
// move or link onto a file of the user's comes after a sync of the file
// that replaces it. Where the disk fails to sync, no file of the user's is
// replaced even for a moment: the run fails before, and leaves them.
TEST_F(TreeTest, AReplacingFileIsOnDiskBeforeItTakesTheOldOnesPlace) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  const uint32_t many = b.addFolder(0, "many");
  for (uint32_t i = 0; i < 65; ++i) b.addFile(many, std::to_string(i), sampleBytes(100, 70 + i));
  const std::string manyCache = writeCache(b.build(), "many.gcf");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> replaced;  // the user's files, under out
  };
  std::vector<std::string> everyOne;
  for (int i = 0; i < 65; ++i) everyOne.push_back("many/" + std::to_string(i));
  const Case cases[] = {
      {"x", {"x", cache_, "docs/manual/guide.txt", at("out")}, {"docs/manual/guide.txt"}},
      {"a, a file at a time",
       {"a", cache_, "/", at("out")},
       {"readme.txt", "docs/manual/guide.txt"}},
      {"a, the file system at once", {"a", manyCache, "/", at("out")}, everyOne},
  };
  for (const Case& c : cases) {
    for (const char* refused : {"", "sync"}) {
      SCOPED_TRACE(std::string(c.what) + " " + refused);
      fs::remove_all(at("out"));
      fs::remove(at("calls"));
      for (const std::string& path : c.replaced) {
        makeDir(fs::path("out/" + path).parent_path().string());
        std::ofstream(at("out/" + path), std::ios::binary) << "the user's " << path;
      }
      const std::map<std::string, std::string> before = treeAt(at("out"));
      RunOptions options = refusing(refused);
      options.environment.push_back("VAULTCAT_CALLS=" + at("calls"));
      const ProgramRun r = run(c.args, {}, options);
      EXPECT_EQ(r.status, *refused ? 1 : 0) << describe(r);
      if (*refused) {
        EXPECT_EQ(treeAt(at("out")), before);
      }
      std::set<std::string> synced;
      bool all = false;
      size_t placed = 0;
      std::istringstream calls(exists(at("calls")) ? readFile(at("calls")) : "");
      for (std::string call, from, to; calls >> call >> from;) {
        if (call == "sync" || call == "syncfs") {
          synced.insert(from);
          all = all || call == "syncfs";
          continue;
        }
        calls >> to;
        if (call == "move") calls >> call;  // its flags
        const std::string target = fs::relative(to, at("out")).generic_string();
        if (std::find(c.replaced.begin(), c.replaced.end(), target) == c.replaced.end()) continue;
        ++placed;
        EXPECT_TRUE(all || synced.count(from) != 0)
            << from << " took " << to << "'s place unsynced";
      }
      EXPECT_EQ(placed, *refused ? 0 : c.replaced.size());
    }
  }
}

// A cache whose write pass prints more than a pipe and the program's
// buffer hold, so that a run of it waits in a write, after every check and
// before its commit, until its output is read: docs/a.txt (to replace the
// user's), docs/new.txt, and 1,500 files of long names in a new folder.
class TreeRaceTest : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    const uint32_t docs = b.addFolder(0, "docs");
    b.addFile(docs, "a.txt", "the cache's a");
    b.addFile(docs, "new.txt", "the cache's new");
    const uint32_t filler = b.addFolder(0, "filler");
    for (int i = 0; i < 1500; ++i)
      b.addFile(filler, std::string(80, 'f') + std::to_string(i) + ".txt", "x");
    slowImage_ = b.build();
    slow_ = writeCache(slowImage_, "slow.gcf");
  }

  // The destination as the user left it.
  void resetOut(const std::string& a = "the user's a") {
    fs::remove_all(at("out"));
    makeDir("out/docs");
    std::ofstream(at("out/docs/a.txt"), std::ios::binary) << a;
  }

  std::unique_ptr<StartedProgram> startPaused(const std::vector<std::string>& args,
                                              const RunOptions& options = {}) {
    auto program = std::make_unique<StartedProgram>(args, root(), options);
    EXPECT_TRUE(program->waitUntilOutputBlocks()) << "the run ended before it could be paused";
    return program;
  }

  const std::map<std::string, std::string> usersOut_ = {{"docs", "/"},
                                                        {"docs/a.txt", "the user's a"}};
  CacheImage slowImage_;
  std::string slow_;
};

// An interrupt in the middle of a tree or of a salvage, while standard
// output is full and nobody reads it: the run ends at once, by the signal,
// with nothing new left and the user's file as it was. A signal the parent
// left ignored (nohup, trap '' HUP) stays ignored.
TEST_F(TreeRaceTest, AnInterruptMidTreeLeavesTheDestinationAsItWas) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  CacheImage incomplete = slowImage_;
  incomplete.set32(incomplete.layout().directoryEntry(5, testsupport::fields::kItemSize), 10);
  const std::string salvaged = writeCache(incomplete, "incomplete.gcf");
  struct Case {
    int sent;
    std::vector<std::string> args;
    std::vector<int> ignored = {};
  };
  const std::vector<std::string> all = {"a", slow_, "/", at("out")};
  const Case cases[] = {
      {SIGINT, all},
      {SIGTERM, all},
      {SIGINT, {"a", "--salvage", salvaged, "/", at("out")}},
      {SIGHUP, all, {SIGHUP}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.sent) + testing::PrintToString(c.args));
    resetOut();
    auto program = startPaused(c.args, {.ignoredSignals = c.ignored});
    ::kill(program->pid(), c.sent);
    if (c.ignored.empty()) {
      EXPECT_TRUE(program->exitsWithin(std::chrono::seconds(5)));
    }
    const ProgramRun r = program->finish();
    if (c.ignored.empty()) {
      EXPECT_EQ(r.status, 128 + c.sent) << describe(r);
      EXPECT_EQ(treeAt(at("out")), usersOut_);
    } else {
      EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
      EXPECT_EQ(readFile(at("out/docs/a.txt")), "the cache's a");
    }
  }
}

// What another program does in the destination while a run writes: a
// folder swapped for a link elsewhere (for a and for x, whose path has a
// folder), a folder made where the run creates a file, the user's file
// turned into a folder, the cache rewritten; a file left as it is, since
// it held the cache's bytes, written to or replaced by another of the same
// bytes. The commit meets it, writes nothing anywhere else, swaps nothing
// out, and leaves the destination as the other program left it.
TEST_F(TreeRaceTest, WhatChangesUnderARunStopsItsCommit) {
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(b.addFolder(0, "docs"), "a.txt", RunList{{0, sampleBytes(3 << 20, 93)}});
  const std::string big = writeCache(b.build(), "big.gcf");
  makeDir("victim");
  std::ofstream(at("victim/a.txt"), std::ios::binary) << "the victim's a";
  const auto swapForALink = [&] {
    fs::rename(at("out/docs"), at("moved"));
    fs::create_directory_symlink(at("victim"), at("out/docs"));
  };
  const auto folderAt = [&](const char* path) {
    return [=, this] {
      fs::remove(at(path));
      makeDir(path);
      std::ofstream(at(std::string(path) + "/other.txt"), std::ios::binary) << "another's";
    };
  };
  const std::map<std::string, std::string> link = {{"docs", "->"}};
  // The last file's byte changed, and the modification time put back, as a
  // restore from backup does: only the change time tells.
  const std::string changing = at("changing.gcf");
  ASSERT_TRUE(slowImage_.writeFile(changing));
  const testsupport::CacheLayout& l = slowImage_.layout();
  const uint64_t lastByte =
      l.dataBlock(slowImage_.chainOf(slowImage_.blockEntriesOf(l.itemCount - 1)[0])[0]);
  const auto rewriteCache = [&] {
    const fs::file_time_type written = fs::last_write_time(changing);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::fstream(changing, std::ios::binary | std::ios::in | std::ios::out)
            .seekp(static_cast<std::streamoff>(lastByte))
        << 'y';
    fs::last_write_time(changing, written);
  };
  const auto withFolder = [](const std::string& path) {
    return std::map<std::string, std::string>{{"docs", "/"},
                                              {"docs/a.txt", "the user's a"},
                                              {path, "/"},
                                              {path + "/other.txt", "another's"}};
  };
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::function<void()> change;
    std::map<std::string, std::string> out;
    std::string userA = "the user's a";
  };
  const Case cases[] = {
      {"a, a folder swapped for a link", {"a", slow_, "/", at("out")}, swapForALink, link},
      {"x, a folder swapped for a link", {"x", big, "docs/a.txt", at("out")}, swapForALink, link},
      {"a folder made at a new file's path",
       {"a", slow_, "/", at("out")},
       folderAt("out/docs/new.txt"),
       withFolder("docs/new.txt")},
      {"the user's file turned into a folder",
       {"a", slow_, "/", at("out")},
       folderAt("out/docs/a.txt"),
       {{"docs", "/"}, {"docs/a.txt", "/"}, {"docs/a.txt/other.txt", "another's"}}},
      {"the cache rewritten", {"a", changing, "/", at("out")}, rewriteCache, usersOut_},
      {"a file kept, written to",
       {"a", slow_, "/", at("out")},
       [&] { std::fstream(at("out/docs/a.txt"), std::ios::in | std::ios::out) << "THE"; },
       {{"docs", "/"}, {"docs/a.txt", "THE cache's a"}},
       "the cache's a"},
      {"a file kept, replaced by one of the same bytes",
       {"a", slow_, "/", at("out")},
       [&] {
         std::ofstream(at("elsewhere"), std::ios::binary) << "the cache's a";
         fs::rename(at("elsewhere"), at("out/docs/a.txt"));
       },
       {{"docs", "/"}, {"docs/a.txt", "the cache's a"}},
       "the cache's a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    resetOut(c.userA);
    fs::remove_all(at("moved"));
    auto program = startPaused(c.args);
    c.change();
    const ProgramRun r = program->finish();
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_EQ(r.out.find("Success!"), std::string::npos) << describe(r);
    EXPECT_EQ(treeAt(at("out")), c.out);
    EXPECT_EQ(treeAt(at("victim")),
              (std::map<std::string, std::string>{{"a.txt", "the victim's a"}}));
    if (!exists(at("moved"))) continue;
    EXPECT_EQ(readFile(at("moved/a.txt")), "the user's a");
    // Windows keeps a folder in use where it is; Wine cannot keep a Linux
    // program from moving it, and x's temporary file goes with it.
    if (runsNatively()) {
      EXPECT_EQ(listFolder("moved"), std::vector<std::string>{"a.txt"});
    }
  }
}

// A second run into a destination another run extracts into waits a
// moment, then refuses and changes nothing; the first completes. So too
// where the destination is not made yet when they start, and where the
// second names it through a link. A run of another user's holds no lock of
// this user's: this user's run goes on, and leaves the other's staging
// folder as it is.
TEST_F(TreeRaceTest, OneRunAtATimeExtractsIntoADestination) {
  struct Case {
    const char* dir;
    const char* second;
    int firstUser;
  };
  const Case cases[] = {
      {"out", "out", -1}, {"new", "new", -1}, {"out", "link", -1}, {"out", "out", 65534}};
  fs::create_directory_symlink(at("out"), at("link"));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " " + c.second + " " + std::to_string(c.firstUser));
    const bool another = c.firstUser >= 0;
    if (another && (!runsNatively() || ::geteuid() != 0)) continue;  // needs root, natively
    resetOut();
    fs::remove_all(at("new"));
    if (another) {
      for (const char* path : {"out", "out/docs", "out/docs/a.txt"})
        ASSERT_EQ(::chown(at(path).c_str(), 65534, 65534), 0);
    }
    auto first = startPaused({"a", slow_, "/", at(c.dir)}, {.user = c.firstUser});
    const ProgramRun second = run({"a", cache_, "/", at(c.second)});
    if (another) {
      EXPECT_TRUE(second.status == 0 && second.out.ends_with("\nSuccess!\n")) << describe(second);
      EXPECT_NE(second.out.find(" looks like a leftover of another program: left as it is\n"),
                std::string::npos)
          << describe(second);
      first->finish();
      continue;
    }
    EXPECT_EQ(second.out, openedLines(cache_, "Half-Life") + "Another run is extracting into " +
                              at(c.second) + ": try again once it has finished\n");
    EXPECT_EQ(second.status, 1);
    const ProgramRun r = first->finish();
    EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
    EXPECT_EQ(readFile(at(std::string(c.dir) + "/docs/a.txt")), "the cache's a");
    EXPECT_EQ(listFolder(c.dir), (std::vector<std::string>{"docs", "filler"}));
    EXPECT_EQ(listFolder(std::string(c.dir) + "/docs"),
              (std::vector<std::string>{"a.txt", "new.txt"}));
  }
}

// A run killed before its commit leaves its staging folder, which the next
// run into the destination removes, saying so, before it extracts.
TEST_F(TreeRaceTest, TheNextRunClearsWhatAKilledRunLeft) {
  resetOut();
  auto killed = startPaused({"a", slow_, "/", at("out")});
  ::kill(killed->pid(), SIGKILL);
  EXPECT_EQ(killed->finish().status, 128 + SIGKILL);
  const std::vector<std::string> left = listFolder("out");
  ASSERT_EQ(left.size(), 2u);
  const ProgramRun r = run({"a", cache_, "/", at("out")});
  EXPECT_NE(r.out.find(openedLines(cache_, "Half-Life") +
                       "Removed what an interrupted run left in " + at("out/" + left[0]) + "\n"),
            std::string::npos)
      << describe(r);
  EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
  std::map<std::string, std::string> expected = whole();
  expected["docs/a.txt"] = "the user's a";
  EXPECT_EQ(treeAt(at("out")), expected);
}

// A tree as deep as paths may be ends promptly when it fails, and leaves
// nothing however far its staging folder's paths outgrow the system's; a
// deeper one is refused before anything is made.
TEST_F(TreeTest, ATreeAsDeepAsPathsGoEndsAndLeavesNothing) {
  // Natively the file's path takes 4,091 bytes, the staging folder's 21
  // more than the 4,095 that Linux takes in a call. The Windows program
  // takes 32,767 UTF-16 units in a call, less the destination's path as
  // the system has it ("\\?\Z:" and the Unix path, under Wine) with the
  // null at its end, and 32 for the staging folder's part. Under Wine the
  // Unix path must fit Linux's 4,095 too: there the tree that fails is one
  // whose paths pass 600 characters.
  const std::string name = runsNatively() ? "aaaa" : std::string(200, 'a');
  const int deepest = runsNatively() ? 818 : 3, tooDeep = runsNatively() ? 820 : 170;
  const uint64_t longest =
      runsNatively() ? 4095 : 32767 - 32 - (std::string("\\\\?\\Z:") + at("out")).size() - 1;
  std::string path = name;
  while (path.size() <= longest) path += "/" + name;
  for (const int depth : {deepest, tooDeep}) {
    SCOPED_TRACE(depth);
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    uint32_t folder = 0;
    for (int i = 0; i < depth; ++i) folder = b.addFolder(folder, name);
    const uint32_t file = b.addFile(folder, "f", "x");
    CacheImage image = b.build();
    // Damage found once every folder is made.
    image.set32(image.layout().blockEntry(image.blockEntriesOf(file).back(),
                                          testsupport::fields::kFirstDataBlock),
                0x7FFF);
    const std::string cache = writeCache(image, "deep.gcf");
    makeDir("out");
    const ProgramRun r = run({"a", cache, "/", "out"});
    EXPECT_EQ(r.status, 1);
    const std::string refused =
        depth == deepest ? "\nCorrupt file"
                         : "Couldn't create file " + path +
                               " - do all directorys exist? (its path is longer than the " +
                               std::to_string(longest) + " bytes this system takes)\n";
    EXPECT_NE(r.out.find(refused), std::string::npos) << describe(r);
    EXPECT_TRUE(listFolder("out").empty());
    EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "deep.gcf", "out"}));
  }
}

// A run killed at any move of its commit, or before the first, is taken
// back by the next run into the destination, which says so in one line,
// whether the destination was there (two files replaced, two folders
// added) or the tree came in as the destination itself.
TEST_F(TreeTest, TheNextRunTakesBackAKilledCommit) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  makeDir("out/docs");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  std::ofstream(at("out/docs/notes.txt"), std::ios::binary) << "the user's notes";
  const std::map<std::string, std::string> before = treeAt(at("out"));
  for (const char* dir : {"out", "new"}) {
    int moves = 0;
    for (;; ++moves) {
      SCOPED_TRACE(std::string(dir) + ", killed after move " + std::to_string(moves));
      const ProgramRun killed = run({"a", cache_, "/", at(dir)}, {}, killedAfterMove(moves));
      if (killed.status == 0) break;
      ASSERT_EQ(killed.status, 128 + SIGKILL) << describe(killed);
      // The next run takes it back first: its own failure to say
      // "Success!" shows the destination as it was before either.
      const ProgramRun next = run({"a", cache_, "/", at(dir)}, {}, refusing("success"));
      EXPECT_NE(
          next.out.find(openedLines(cache_, "Half-Life") +
                        "Took back the files an interrupted run had moved into " + at(dir) + "\n"),
          std::string::npos)
          << describe(next);
      EXPECT_EQ(next.status, 1);
      EXPECT_EQ(treeAt(at(dir)), std::string_view(dir) == "out" ? before : decltype(before)());
      EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "out"}));
    }
    EXPECT_GE(moves, std::string_view(dir) == "out" ? 4 : 1);
    EXPECT_EQ(treeAt(at(dir)), whole());
    fs::remove_all(at("new"));
  }
}

// Another program replaces a file the run has just replaced, before the
// run fails to say "Success!": the other's file stays, and the user's is
// kept in the staging folder, which the run names, as does the next run,
// which takes nothing back over the other's file.
TEST_F(TreeTest, AFileReplacedAgainAfterTheCommitIsNeverTakenBackOver) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  makeDir("out");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  StartedProgram first({"a", cache_, "/", at("out")}, root(), refusing("success,late"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (readFile(at("out/readme.txt")) != readme_ && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::ofstream(at("another"), std::ios::binary) << "another's readme";
  fs::rename(at("another"), at("out/readme.txt"));
  const ProgramRun r = first.finish();
  std::vector<std::string> names = listFolder("out");
  ASSERT_EQ(names.size(), 2u) << describe(r);
  const std::string staging = at("out/" + names[0]);
  EXPECT_TRUE(r.out.ends_with("\nCouldn't take this run back: the files it replaced are kept in " +
                              staging + "\n"))
      << describe(r);
  EXPECT_EQ(readFile(at("out/readme.txt")), "another's readme");
  EXPECT_EQ(readFile(staging + "/t/readme.txt"), "the user's readme");
  const ProgramRun next = run({"a", cache_, "/", at("out")});
  EXPECT_EQ(next.out, openedLines(cache_, "Half-Life") +
                          "Couldn't take back an interrupted run into " + at("out") +
                          ": the files it replaced are kept in " + staging + "\n");
  EXPECT_EQ(next.status, 1);
  EXPECT_EQ(readFile(at("out/readme.txt")), "another's readme");
}

// The bytes a journal gives the identity of what is at `path`.
std::string journalIdentity(const std::string& path) {
  struct statx info {};
  ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info);
  const uint64_t born =
      (info.stx_mask & STATX_BTIME) != 0
          ? static_cast<uint64_t>(info.stx_btime.tv_sec) * 1000000000 + info.stx_btime.tv_nsec
          : 0;
  std::string bytes;
  const auto put = [&](uint64_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  };
  put(::makedev(info.stx_dev_major, info.stx_dev_minor), 8);
  put(info.stx_ino, 8);
  put(born, 8);
  put(info.stx_mode & S_IFMT, 4);
  return bytes;
}

// What the next run finds in the destination named as its staging folders
// are is touched only where it proves to be what a run of this user's
// left: a folder of this user's that holds a journal this program wrote,
// every move of which is under the destination, of files that are real.
// Anything else is left exactly as it is, and named once; a folder of the
// user's that only looks like one is not even named. Nothing beside the
// destination changes.
TEST_F(TreeTest, OnlyWhatProvesToBeThisUsersLeftoverIsTouched) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  makeDir("victim");
  std::ofstream(at("victim/v.txt"), std::ios::binary) << "the victim's";
  const std::map<std::string, std::string> victim = {{"v.txt", "the victim's"}};
  const std::string header = "vaultcat journal 3\n";
  const auto text = [](std::string_view name) {
    return std::string{static_cast<char>(name.size()), 0, 0, 0} + std::string(name);
  };
  const std::string planted = "/.vaultcat-abcdefgh/t/planted";
  enum class Shape { kFolder, kAnotherUsers, kLink, kHuge };
  struct Case {
    const char* what;
    std::function<std::string()> journal;
    Shape shape = Shape::kFolder;
    bool ours = false;
    std::string name = ".vaultcat-abcdefgh";
  };
  const Case cases[] = {
      {"this user's, nothing moved", [&] { return header; }, Shape::kFolder, true},
      {"another user's", [&] { return header; }, Shape::kAnotherUsers},
      {"a link", [&] { return header; }, Shape::kLink},
      {"a journal larger than any run writes", [&] { return header; }, Shape::kHuge},
      {"the tree moved in as the destination, beside it",
       [&] { return header + "R" + text("victim") + journalIdentity(at("victim")) + "C"; }},
      {"an empty name",
       [&] {
         return header + "F" + text("") + "N" + text("") + journalIdentity(at("out") + planted) +
                "C";
       }},
      {"a folder's parent",
       [&] {
         return header + "F" + text("..") + "N" + text("victim") + journalIdentity(at("victim")) +
                "C";
       }},
      {"an identity of no file",
       [&] {
         return header + "F" + text("") + "N" + text("planted") + std::string(28, '\0') + "C";
       }},
      {"a name only like ours", [&] { return header; }, Shape::kFolder, false,
       ".vaultcat-abcdefg1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.shape == Shape::kAnotherUsers && ::geteuid() != 0) continue;  // chown needs root
    fs::remove_all(at("out"));
    makeDir("out/.vaultcat-notes123");
    std::ofstream(at("out/.vaultcat-notes123/n.txt"), std::ios::binary) << "the user's notes";
    const std::string staging = at("out/" + c.name);
    if (c.shape == Shape::kLink) {
      fs::create_directory_symlink(at("victim"), staging);
    } else {
      makeDir("out/" + c.name + "/t");
      std::ofstream(staging + "/t/planted", std::ios::binary) << "planted";
      std::ofstream(staging + "/j", std::ios::binary) << c.journal();
    }
    if (c.shape == Shape::kAnotherUsers) {
      ASSERT_EQ(::chown(staging.c_str(), 4321, 4321), 0);
    }
    // 200 GiB, and no block of them on the disk.
    if (c.shape == Shape::kHuge) fs::resize_file(staging + "/j", uint64_t{200} << 30);
    const auto left = [&] {
      if (fs::is_symlink(staging)) return std::map<std::string, std::string>{{"", "->"}};
      if (c.shape == Shape::kHuge) return treeAt(staging + "/t");
      return treeAt(staging);
    };
    const std::map<std::string, std::string> before = left();
    const ProgramRun r = run({"a", cache_, "/", at("out")});
    EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
    const std::string named =
        staging + " looks like a leftover of another program: left as it is\n";
    const size_t first = r.out.find(named);
    const bool lookalike = c.name != ".vaultcat-abcdefgh";
    EXPECT_EQ(first != std::string::npos, !c.ours && !lookalike) << describe(r);
    EXPECT_EQ(r.out.find(named, first + 1), std::string::npos) << describe(r);
    EXPECT_EQ(r.out.find("Removed what an interrupted run left in " + staging + "\n") !=
                  std::string::npos,
              c.ours)
        << describe(r);
    EXPECT_EQ(left(), c.ours ? decltype(before)() : before);
    EXPECT_EQ(treeAt(at("out/.vaultcat-notes123")),
              (std::map<std::string, std::string>{{"n.txt", "the user's notes"}}));
    EXPECT_EQ(treeAt(at("victim")), victim);
    EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "out", "victim"}));
  }
}

// However few descriptors the run may open, it completes or leaves the
// destination as it was: no empty staging folder either.
TEST_F(TreeTest, FewDescriptorsFailTheRunAndLeaveNothing) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' checks take descriptors of their own, and fail without";
#endif
  makeDir("out");
  std::ofstream(at("out/readme.txt"), std::ios::binary) << "the user's readme";
  const std::map<std::string, std::string> before = treeAt(at("out"));
  for (uint64_t limit = 5; limit < 12; ++limit) {
    SCOPED_TRACE(limit);
    const ProgramRun r = run({"a", cache_, "/", at("out")}, {}, {.openFileLimit = limit});
    EXPECT_EQ(treeAt(at("out")), r.status == 0 ? whole() : before) << describe(r);
    if (r.status == 0) break;
  }
}

}  // namespace
}  // namespace vaultcat::e2e
