// The platform layer against the file system it runs on: what a mapping
// shows, which files it refuses, where positioned writes land, and that a
// discarded or failed output is never left looking complete. The same
// expectations hold for every implementation of archive/platform.h.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/platform.h"

namespace vaultcat::platform {
namespace {

namespace fs = std::filesystem;

ByteView viewOf(const std::string& text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

std::string contentOf(const ByteView& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(bytes.size())};
}

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Builds run side by side on one machine: the name is the test's plus
    // a random number.
    dir_ = fs::temp_directory_path() /
           ("vaultcat-platform-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path(const std::string& relative) const { return (dir_ / relative).string(); }
  std::string writeText(const std::string& relative, const std::string& bytes) const {
    std::ofstream(dir_ / relative, std::ios::binary) << bytes;
    return path(relative);
  }
  std::string readText(const std::string& relative) const {
    std::ifstream in(dir_ / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path dir_;
};

TEST_F(PlatformTest, MappingShowsTheWholeFileAndReplacesAnEarlierOne) {
  std::string first(70000, '\0');
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<char>(i * 7 + 3);
  MappedFile file;
  ASSERT_TRUE(file.map(writeText("first.bin", first)));
  EXPECT_EQ(contentOf(file.bytes()), first);

  // A second map() lets go of the first file; a mapping of it would keep
  // it from being deleted on some systems.
  ASSERT_TRUE(file.map(writeText("second.bin", "x")));
  EXPECT_EQ(contentOf(file.bytes()), "x");
  EXPECT_TRUE(fs::remove(dir_ / "first.bin"));

  file.unmap();
  EXPECT_FALSE(file.isMapped());
  EXPECT_EQ(file.bytes().size(), 0u);
}

TEST_F(PlatformTest, MappingRefusesWhatIsNotANonEmptyFile) {
  writeText("empty.gcf", "");
  fs::create_directories(dir_ / "folder");
  for (const std::string relative : {"missing.gcf", "empty.gcf", "folder", "folder/missing"}) {
    MappedFile file;
    EXPECT_FALSE(file.map(path(relative))) << relative;
    EXPECT_FALSE(file.isMapped()) << relative;
  }
  // A refused map() also drops what was mapped before.
  MappedFile file;
  ASSERT_TRUE(file.map(writeText("good.gcf", "abc")));
  EXPECT_FALSE(file.map(path("missing.gcf")));
  EXPECT_FALSE(file.isMapped());
}

TEST_F(PlatformTest, ChangingDirectoryResolvesRelativePathsThereAndFailsCleanly) {
  const fs::path start = fs::current_path();
  fs::create_directories(dir_ / "out");
  writeText("out/inside.txt", "here");

  EXPECT_FALSE(changeWorkingDirectory(path("no-such-folder")));
  EXPECT_EQ(fs::current_path(), start);

  ASSERT_TRUE(changeWorkingDirectory(path("out")));
  MappedFile file;
  const bool mapped = file.map("inside.txt");
  file.unmap();
  fs::current_path(start);
  EXPECT_TRUE(mapped);
}

TEST_F(PlatformTest, BothSeparatorsReachTheSameOutputFolder) {
  const fs::path start = fs::current_path();
  fs::create_directories(dir_ / "docs");
  ASSERT_TRUE(changeWorkingDirectory(dir_.string()));
  for (const std::string item : {"docs/a.txt", "docs\\b.txt"}) {
    OutputFile out;
    ByteView piece = viewOf(item);
    EXPECT_TRUE(out.create(outputPathFor(item))) << item;
    EXPECT_TRUE(out.writeAt(0, {&piece, 1})) << item;
    EXPECT_TRUE(out.close()) << item;
  }
  fs::current_path(start);
  EXPECT_EQ(readText("docs/a.txt"), "docs/a.txt");
  EXPECT_EQ(readText("docs/b.txt"), "docs\\b.txt");
}

TEST_F(PlatformTest, PositionedWritesLandInPlaceOverATruncatedFile) {
  const std::string target = writeText("out.bin", std::string(5000, 'Z'));
  OutputFile out;
  ASSERT_TRUE(out.create(target));
  EXPECT_EQ(fs::file_size(target), 0u);

  // Runs arrive out of order and leave a hole; the hole reads as zeros.
  const std::string tail = "TAIL", head = "head", middle = "middle";
  ByteView tailPiece = viewOf(tail), headPiece = viewOf(head), middlePiece = viewOf(middle);
  EXPECT_TRUE(out.writeAt(20, {&tailPiece, 1}));
  EXPECT_TRUE(out.writeAt(0, {&headPiece, 1}));
  EXPECT_TRUE(out.writeAt(10, {&middlePiece, 1}));
  ASSERT_TRUE(out.close());
  EXPECT_EQ(readText("out.bin"), "head" + std::string(6, '\0') + "middle" + std::string(4, '\0') + "TAIL");
  EXPECT_FALSE(out.writeAt(0, {&headPiece, 1})) << "a closed file took a write";
}

TEST_F(PlatformTest, ManyPiecesInOneWriteGoOutInOrder) {
  // More pieces than one gathered system call takes, of uneven sizes.
  std::vector<std::string> texts;
  std::string expected;
  for (int i = 0; i < 2500; ++i) {
    texts.push_back(std::to_string(i) + std::string(static_cast<size_t>(i % 5), '.'));
    expected += texts.back();
  }
  std::vector<ByteView> pieces;
  for (const std::string& text : texts) pieces.push_back(viewOf(text));

  OutputFile out;
  ASSERT_TRUE(out.create(path("many.bin")));
  ASSERT_TRUE(out.writeAt(3, pieces));
  ASSERT_TRUE(out.close());
  EXPECT_EQ(readText("many.bin"), std::string(3, '\0') + expected);
}

TEST_F(PlatformTest, PositionsPastFourGibibytesAreNotCutShort) {
  // Unwritten regions stay holes on the file systems the tests run on, so
  // this costs a few bytes of disk.
  const uint64_t offset = (uint64_t{1} << 32) + 12345;
  const std::string marker = "far";
  ByteView piece = viewOf(marker);
  OutputFile out;
  ASSERT_TRUE(out.create(path("far.bin")));
  ASSERT_TRUE(out.writeAt(offset, {&piece, 1}));
  ASSERT_TRUE(out.close());
  EXPECT_EQ(fs::file_size(dir_ / "far.bin"), offset + marker.size());
  std::ifstream in(dir_ / "far.bin", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset - 1));
  std::string around(marker.size() + 1, '?');
  in.read(around.data(), static_cast<std::streamsize>(around.size()));
  EXPECT_EQ(around, std::string(1, '\0') + marker);
}

TEST_F(PlatformTest, DiscardedAndUncreatableOutputsLeaveNothing) {
  OutputFile out;
  EXPECT_FALSE(out.create(path("no-such-folder/file.txt")));
  EXPECT_FALSE(fs::exists(dir_ / "no-such-folder"));

  ASSERT_TRUE(out.create(path("partial.bin")));
  const std::string some = "some bytes";
  ByteView piece = viewOf(some);
  EXPECT_TRUE(out.writeAt(0, {&piece, 1}));
  out.discard();
  EXPECT_FALSE(fs::exists(dir_ / "partial.bin"));
  EXPECT_TRUE(out.close()) << "nothing failed before the discard";
}

TEST_F(PlatformTest, AMappedFileIsNeverOpenedAsAnOutput) {
  // Truncating the cache being read would destroy it and pull the bytes
  // from under the mapping; through another name (a hard link) as well.
  const std::string cache = writeText("c.gcf", "cache bytes");
  fs::create_hard_link(cache, dir_ / "link.gcf");
  MappedFile mapping;
  ASSERT_TRUE(mapping.map(cache));
  for (const std::string& target : {cache, path("link.gcf")}) {
    OutputFile out;
    EXPECT_FALSE(out.create(target)) << target;
  }
  EXPECT_EQ(contentOf(mapping.bytes()), "cache bytes");

  mapping.unmap();
  OutputFile out;
  EXPECT_TRUE(out.create(cache)) << "the file stayed refused after the unmap";
  EXPECT_TRUE(out.close());
  EXPECT_EQ(fs::file_size(cache), 0u);
}

TEST_F(PlatformTest, AFullDeviceIsReportedAsAFailedWrite) {
  // Only where the system has a device that is always full.
  const std::string full = "/dev/full";
  if (!fs::exists(full)) GTEST_SKIP() << "no " << full << " here";
  const std::string bytes(100000, 'b');
  ByteView piece = viewOf(bytes);
  OutputFile out;
  ASSERT_TRUE(out.create(full));
  EXPECT_FALSE(out.writeAt(0, {&piece, 1}));
  EXPECT_FALSE(out.writeAt(0, {&piece, 1})) << "a write after a failure succeeded";
  EXPECT_FALSE(out.close());
  // Never discard() here: that would delete the device.
}

}  // namespace
}  // namespace vaultcat::platform
