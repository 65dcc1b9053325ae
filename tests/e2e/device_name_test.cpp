// Item names that Windows reserves for devices in every folder (NUL, CON,
// AUX.TXT, COM1...). Where they are ordinary names the file comes out as
// usual; where they are devices the command must fail rather than say
// "Success!" with the bytes gone to a device. Either way, success means the
// file is on disk with its bytes.
#include <string>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

using DeviceNameTest = ProgramTest;

TEST_F(DeviceNameTest, SuccessMeansTheFileIsOnDisk) {
  const std::string names[] = {"nul", "CON", "aux.txt", "com1.log"};
  testsupport::CacheBuilder b;
  b.cacheId(1).blockSize(512);
  uint32_t seed = 70;
  for (const std::string& name : names) b.addFile(0, name, sampleBytes(600, seed++));
  const testsupport::CacheImage image = b.build();
  const std::string cache = writeCache(image, "c.gcf");
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
      EXPECT_TRUE(r.out.ends_with("Couldn't create file " + name + " - do all directorys exist?\n"))
          << describe(r);
      EXPECT_FALSE(exists(at("out/" + name)));
    }
  }
}

}  // namespace
}  // namespace vaultcat::e2e
