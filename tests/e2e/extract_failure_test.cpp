// Every way the extract command can fail: one message, status 1, and never
// an output file left behind that looks complete.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

using testsupport::CacheBuilder;
using testsupport::CacheImage;
using testsupport::CacheLayout;
using testsupport::RunList;
using namespace testsupport::fields;

enum Item : uint32_t { kDocs = 1, kReadme = 2, kA = 3 };

// docs/readme.txt is two runs of two 512-byte blocks each (data blocks 0, 1
// and 2, 3); a.txt follows in block 4.
CacheImage testCache(uint32_t version = 6, uint32_t cacheId = 1, uint32_t seed = 0) {
  CacheBuilder b(version);
  b.cacheId(cacheId).blockSize(512);
  const uint32_t docs = b.addFolder(0, "docs");
  b.addFile(docs, "readme.txt",
            RunList{{0, sampleBytes(700, 40 + seed), 0}, {700, sampleBytes(700, 41 + seed), 0}});
  b.addFile(0, "a.txt", sampleBytes(100, 42 + seed));
  return b.build();
}

class ExtractFailureTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    cache_ = writeCache(testCache(), "c.gcf");
  }
  std::string cache_;
};

// Paths that name nothing (empty components, a leading separator, a file
// used as a folder, the right name in the wrong folder), a folder, a file
// whose output folder is missing, and paths past 1023 characters: one
// message each, and nothing written.
TEST_F(ExtractFailureTest, RefusesWhatItCannotExtract) {
  const std::string opened = openedLines(cache_, "Half-Life");
  auto notFound = [&](const std::string& path) {
    return opened + "Couldn't find " + path + " in directory\n";
  };
  auto folder = [&](const std::string& path) {
    return opened + "Found " + path + ", attempting to extract...\nNo block entry for " + path +
           "\nDid you try to extract a directory?\n";
  };
  const std::string tooLong = "The file path is longer than 1023 characters\n";
  const std::pair<std::string, std::string> cases[] = {
      {"docs/missing.txt", notFound("docs/missing.txt")},
      {"docs//readme.txt", notFound("docs//readme.txt")},
      {"docs/", notFound("docs/")},
      {"/docs/readme.txt", notFound("/docs/readme.txt")},
      {"docs/readme.txt/x", notFound("docs/readme.txt/x")},
      {"readme.txt", notFound("readme.txt")},
      {"docs\\readme.tx", notFound("docs\\readme.tx")},
      {"a.txt ", notFound("a.txt ")},
      {std::string(1023, 'a'), notFound(std::string(1023, 'a'))},
      {std::string(1024, 'a'), tooLong},
      {std::string(5000, 'a'), tooLong},
      {"docs", folder("docs")},
      {"DOCS", folder("DOCS")},
      {"docs/readme.txt", opened +
                              "Found docs/readme.txt, attempting to extract...\n"
                              "Couldn't create file docs/readme.txt - do all directorys exist?\n"},
  };
  makeDir("out");
  for (const auto& [path, out] : cases) {
    SCOPED_TRACE(path.substr(0, 40));
    ProgramRun r = run({"x", cache_, path, at("out")});
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_TRUE(listFolder("out").empty());
}

// Names that would lead out of the destination, whether the cache holds
// them or the user types them, are refused before anything is created.
TEST_F(ExtractFailureTest, NamesThatWouldLeaveTheDestinationAreRefused) {
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(b.addFolder(b.addFolder(0, ".."), ".."), "evil.txt", "evil");
  b.addFile(b.addFolder(0, "\\scratch"), "abs.txt", "abs");
  b.addFile(b.addFolder(0, "/scratch"), "abs.txt", "abs");
  b.addFile(b.addFolder(0, "."), "dot.txt", "dot");
  const std::string cache = writeCache(b.build(), "names.gcf");
  makeDir("out/a/b");
  for (const std::string path : {"../../evil.txt", "..\\..\\evil.txt", "\\scratch\\abs.txt",
                                 "/scratch/abs.txt", "./dot.txt"}) {
    SCOPED_TRACE(path);
    ProgramRun r = run({"x", cache, path, at("out/a/b")});
    EXPECT_EQ(r.out, openedLines(cache, "Half-Life") + "Found " + path +
                         ", attempting to extract...\nCouldn't create file " + path +
                         " - do all directorys exist?\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(listFolder(""), (std::vector<std::string>{"c.gcf", "names.gcf", "out"}));
  EXPECT_EQ(listFolder("out"), std::vector<std::string>{"a"});
  EXPECT_EQ(listFolder("out/a"), std::vector<std::string>{"b"});
  EXPECT_TRUE(listFolder("out/a/b").empty());
}

// If the destination cannot become the working directory, nothing may be
// opened or written relative to the directory the command started in.
TEST_F(ExtractFailureTest, StopsWhenTheDestinationIsNotAFolder) {
  makeDir("start");
  writeCache(testCache(), "start/c.gcf");
  { std::ofstream(at("start/file")) << "x"; }
  for (const std::string& destination :
       {std::string("nowhere"), at("nowhere"), std::string("file")}) {
    SCOPED_TRACE(destination);
    ProgramRun r = run({"x", "c.gcf", "a.txt", destination}, at("start"));
    EXPECT_EQ(r.out, "Couldn't change to directory " + destination + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listFolder("start"), (std::vector<std::string>{"c.gcf", "file"}));
  }
}

// The destination becomes the working directory first, so a relative cache
// path is found under it; an absolute one is not affected.
TEST_F(ExtractFailureTest, ResolvesARelativeCachePathUnderTheDestination) {
  const CacheImage inDestination = testCache(6, 1, 0);
  writeCache(testCache(5, 51, 7), "start/sub/a.gcf");  // a decoy where the command starts
  writeCache(inDestination, "start/out/sub/a.gcf");
  makeDir("start/other");

  ProgramRun r = run({"x", "sub/a.gcf", "a.txt", "out"}, at("start"));
  EXPECT_EQ(r.status, 0) << describe(r);
  const std::string head =
      openedLines("sub/a.gcf", "Half-Life") + "Found a.txt, attempting to extract...\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
  EXPECT_EQ(readFile(at("start/out/a.txt")), inDestination.expectedContent(kA));

  r = run({"x", cache_, "a.txt", "other"}, at("start"));
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(readFile(at("start/other/a.txt")), testCache().expectedContent(kA));

  // Present under the starting directory only: not found.
  r = run({"x", "sub/a.gcf", "a.txt", "other"}, at("start"));
  EXPECT_EQ(r.out, "Couldn't open file sub/a.gcf: Failed to map GCF file to memory.\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(listFolder("start"), (std::vector<std::string>{"other", "out", "sub"}));
}

// A damaged file leaves nothing where there was nothing, and leaves the
// user's file byte for byte where there was one.
TEST_F(ExtractFailureTest, ADamagedFileChangesNothingInTheDestination) {
  // The block entries and the map come before the block entry map, the one
  // section the versions differ in, so these offsets hold for both.
  const CacheLayout layout = testCache(6).layout();
  ASSERT_EQ(testCache(5).layout().fragmentationMap, layout.fragmentationMap);
  const std::vector<uint32_t> entries = testCache().blockEntriesOf(kReadme);
  ASSERT_EQ(entries.size(), 2u);
  struct Case {
    const char* what;
    uint64_t offset;
    uint32_t value;
  };
  // The writer's and the lookup's unit tests hold every kind of damage;
  // here, one each of a data block and of a block entry, found after the
  // first run is written.
  const Case cases[] = {
      {"data block outside the data", layout.blockEntry(entries[1], kFirstDataBlock), 0x7FFF},
      {"entries loop", layout.blockEntry(entries[1], kNextEntry), entries[0]},
  };
  for (const uint32_t version : {5u, 6u}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", version " + std::to_string(version));
      CacheImage image = testCache(version);
      image.set32(c.offset, c.value);
      const std::string name = "v" + std::to_string(version) + "-" + std::to_string(&c - cases);
      const std::string cache = writeCache(image, name + ".gcf");
      makeDir(name + "/docs");
      const std::string usersCopy = "the user's own readme";
      if (version == 6) std::ofstream(at(name + "/docs/readme.txt")) << usersCopy;

      ProgramRun r = run({"x", cache, "docs/readme.txt", at(name)});
      const std::string head =
          openedLines(cache, "Half-Life") + "Found docs/readme.txt, attempting to extract...\n";
      EXPECT_EQ(r.out.substr(0, head.size()), head) << describe(r);
      const size_t last = r.out.rfind('\n', r.out.size() - 2) + 1;
      EXPECT_EQ(r.out.compare(last, 12, "Corrupt file"), 0) << describe(r);
      EXPECT_EQ(r.out.find("Success!"), std::string::npos);
      EXPECT_EQ(r.status, 1);
      if (version == 6) {
        EXPECT_EQ(listFolder(name + "/docs"), std::vector<std::string>{"readme.txt"});
        EXPECT_EQ(readFile(at(name + "/docs/readme.txt")), usersCopy);
      } else {
        EXPECT_TRUE(listFolder(name + "/docs").empty()) << "a damaged file was left behind";
      }
    }
  }
}

// A device takes no bytes: a failed run could not take them back.
TEST_F(ExtractFailureTest, ADeviceIsNeverAnOutputAndTheLinkToItStays) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  if (!exists("/dev/full")) GTEST_SKIP() << "needs /dev/full, which this system lacks";
  makeDir("out/docs");
  std::filesystem::create_symlink("/dev/full", at("out/docs/readme.txt"));

  ProgramRun r = run({"x", cache_, "docs/readme.txt", at("out")});
  EXPECT_EQ(r.out, openedLines(cache_, "Half-Life") +
                       "Found docs/readme.txt, attempting to extract...\n"
                       "Couldn't create file docs/readme.txt - do all directorys exist?\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(at("out/docs/readme.txt"))) << "the link was removed";
  EXPECT_EQ(listFolder("out/docs"), std::vector<std::string>{"readme.txt"});
}

}  // namespace
}  // namespace vaultcat::e2e
