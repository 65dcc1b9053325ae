// Output paths that do not lead to a new file of their own: names that
// Windows reserves for devices in every folder, and the cache file itself.
// Whatever the system, "Success!" means the file is on disk with its bytes,
// and the cache is never written.
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

TEST_F(OutputTargetTest, DeviceNamesNeverReportSuccessWithoutAFile) {
  // Ordinary names where the system has no such devices; there the file
  // comes out as usual.
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
    if (r.status == 0) {
      EXPECT_TRUE(r.out.ends_with("\nSuccess!\n")) << describe(r);
      ASSERT_TRUE(exists(at("out/" + name))) << "success, but no file: " << describe(r);
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
  // folder, by a relative and by an absolute cache path. run() checks that
  // the cache did not change.
  testsupport::CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(0, "c.gcf", sampleBytes(5000, 80));
  const std::string cache = writeCache(b.build(), "out/c.gcf");

  for (const std::string& cachePath : {std::string("c.gcf"), cache}) {
    SCOPED_TRACE(cachePath);
    ProgramRun r = run({"x", cachePath, "c.gcf", at("out")});
    EXPECT_EQ(r.out, openedLines(cachePath, "Half-Life") +
                         "Found c.gcf, attempting to extract...\n" + cannotCreate("c.gcf"));
    EXPECT_EQ(r.status, 1);
  }
}

}  // namespace
}  // namespace vaultcat::e2e
