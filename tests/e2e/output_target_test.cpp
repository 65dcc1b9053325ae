// Output paths that do not lead to a new file of their own: an existing
// file, a link, a device or FIFO, names that Windows reserves for devices in
// every folder, and the cache file itself. Whatever the system, "Success!"
// means the file is on disk with its bytes; a device or FIFO is never
// written, and the cache never.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

using OutputTargetTest = ProgramTest;

std::string cannotCreate(const std::string& item) {
  return "Couldn't create file " + item + " - do all directorys exist?\n";
}

// Names that Windows reserves for devices in every folder are refused
// there; elsewhere they are ordinary names and the file comes out as usual.
TEST_F(OutputTargetTest, DeviceNamesNeverReportSuccessWithoutAFile) {
  const std::string names[] = {"nul", "CON", "aux.txt", "com1.log"};
  testsupport::CacheBuilder b;
  b.cacheId(1).blockSize(512);
  uint32_t seed = 70;
  for (const std::string& name : names) b.addFile(0, name, sampleBytes(600, seed++));
  const std::string cache = writeCache(b.build(), "c.gcf");
  makeDir("out");

  seed = 70;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string bytes = sampleBytes(600, seed++);
    ProgramRun r = run({"x", cache, name, at("out")});
    if (runsNatively()) {
      EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
      EXPECT_EQ(readFile(at("out/" + name)), bytes);
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.out.ends_with(cannotCreate(name))) << describe(r);
      EXPECT_FALSE(exists(at("out/" + name)));
    }
  }
}

TEST_F(OutputTargetTest, NeverWritesOverTheCacheItReads) {
  // The cache holds an item of its own name and is extracted into its own
  // folder, by a relative and by an absolute cache path, and through a hard
  // link of its own under another name. run() checks that the cache did not
  // change.
  testsupport::CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(0, "c.gcf", sampleBytes(5000, 80));
  b.addFile(0, "link.gcf", sampleBytes(5000, 81));
  const std::string cache = writeCache(b.build(), "out/c.gcf");
  std::filesystem::create_hard_link(cache, at("out/link.gcf"));

  for (const std::string& cachePath : {std::string("c.gcf"), cache}) {
    for (const std::string item : {"c.gcf", "link.gcf"}) {
      SCOPED_TRACE(cachePath + " " + item);
      ProgramRun r = run({"x", cachePath, item, at("out")});
      EXPECT_EQ(r.out, openedLines(cachePath, "Half-Life") + "Found " + item +
                           ", attempting to extract...\n" + cannotCreate(item));
      EXPECT_EQ(r.status, 1);
    }
  }
}

TEST_F(OutputTargetTest, ReplacesFilesInPlaceAndWritesThroughLinks) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  namespace fs = std::filesystem;
  const std::string names[] = {"mode.bin", "link.bin", "dangling.bin", "null.bin", "fifo.bin"};
  testsupport::CacheBuilder b;
  b.cacheId(1).blockSize(512);
  for (const std::string& name : names) b.addFile(0, name, sampleBytes(1500, 100));
  b.addFile(b.addFolder(0, "via"), "real.bin", sampleBytes(1500, 101));
  const std::string cache = writeCache(b.build(), "c.gcf");
  const std::string bytes = sampleBytes(1500, 100);
  makeDir("out");
  makeDir("elsewhere");
  // A replaced file keeps its mode, and as root its owner and group; a link
  // stays a link and its target gets the bytes, whether or not it existed.
  { std::ofstream(at("out/mode.bin")) << "old"; }
  ::chmod(at("out/mode.bin").c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(at("out/mode.bin").c_str(), 4321, 4322), 0);
  }
  { std::ofstream(at("elsewhere/real.bin")) << "old"; }
  fs::create_symlink("../elsewhere/real.bin", at("out/link.bin"));
  fs::create_symlink("../elsewhere/new.bin", at("out/dangling.bin"));
  fs::create_symlink("/dev/null", at("out/null.bin"));
  ASSERT_EQ(::mkfifo(at("out/fifo.bin").c_str(), 0600), 0);
  for (const char* name : {"mode.bin", "link.bin", "dangling.bin"}) {
    ProgramRun r = run({"x", cache, name, at("out")});
    EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << name << ": " << describe(r);
  }
  EXPECT_EQ(readFile(at("out/mode.bin")), bytes);
  EXPECT_EQ(fs::status(at("out/mode.bin")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  struct stat owned {};
  ASSERT_EQ(::stat(at("out/mode.bin").c_str(), &owned), 0);
  EXPECT_EQ(owned.st_uid, root ? 4321u : ::geteuid());
  EXPECT_EQ(owned.st_gid, root ? 4322u : ::getegid());
  for (const char* link : {"out/link.bin", "out/dangling.bin", "out/null.bin"})
    EXPECT_TRUE(fs::is_symlink(at(link))) << link;
  EXPECT_EQ(readFile(at("elsewhere/real.bin")), bytes);
  EXPECT_EQ(readFile(at("elsewhere/new.bin")), bytes);

  // A device or FIFO is refused, whether or not anybody reads it, and stays;
  // so is a link on the way to the file, which nothing follows.
  fs::create_directory_symlink("../elsewhere", at("out/via"));
  const int reader = ::open(at("out/fifo.bin").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  for (const char* name : {"null.bin", "fifo.bin", "via/real.bin"}) {
    ProgramRun r = run({"x", cache, name, at("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with(cannotCreate(name))) << describe(r);
  }
  char received;
  EXPECT_LE(::read(reader, &received, 1), 0) << "the FIFO took bytes";
  ::close(reader);
  EXPECT_TRUE(fs::is_fifo(at("out/fifo.bin")));
  EXPECT_EQ(listFolder("out"), (std::vector<std::string>{"dangling.bin", "fifo.bin", "link.bin",
                                                         "mode.bin", "null.bin", "via"}));
  EXPECT_EQ(listFolder("elsewhere"), (std::vector<std::string>{"new.bin", "real.bin"}));
  EXPECT_EQ(readFile(at("elsewhere/real.bin")), bytes);
}

}  // namespace
}  // namespace vaultcat::e2e
