// The platform layer against the file system it runs on: what a mapping
// shows, which files it refuses, where positioned writes land, and that a
// discarded or failed output is never left looking complete. The same
// expectations hold for every implementation of archive/platform.h.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/mapped_file.h"
#include "archive/output_file.h"
#include "support/temp_folder.h"

namespace vaultcat::platform {
namespace {

namespace fs = std::filesystem;

ByteView viewOf(const std::string& text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

std::string contentOf(const ByteView& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(bytes.size())};
}

using PlatformTest = testsupport::TempFolderTest;

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

TEST_F(PlatformTest, TheMappedFileTellsWhenItChanges) {
  const std::string cache = writeText("c.gcf", "cache bytes");
  MappedFile mapping;
  ASSERT_TRUE(mapping.map(cache));
  EXPECT_TRUE(mapping.unchanged());
  // Where the system lets another writer in while the file is mapped, the
  // change shows; where it refuses the writer, the file cannot change.
  std::ofstream(cache, std::ios::binary | std::ios::app) << "!";
  EXPECT_EQ(mapping.unchanged(), fs::file_size(cache) == 11);
  EXPECT_EQ(mapping.identity().size, 11u);
}

TEST_F(PlatformTest, BothSeparatorsReachTheSameOutputFolder) {
  const fs::path start = fs::current_path();
  fs::create_directories(dir_ / "docs");
  ASSERT_TRUE(changeWorkingDirectory(dir_.string()));
  for (const std::string item : {"docs/a.txt", "docs\\b.txt"}) {
    OutputFile out;
    ByteView piece = viewOf(item);
    EXPECT_TRUE(out.create(outputPathFor(item))) << item;
    EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Status::Kind::kOk) << item;
    EXPECT_TRUE(out.commit()) << item;
    out.keep();
  }
  fs::current_path(start);
  EXPECT_EQ(readText("docs/a.txt"), "docs/a.txt");
  EXPECT_EQ(readText("docs/b.txt"), "docs\\b.txt");
}

TEST_F(PlatformTest, AnExistingFileIsReplacedOnlyByACommit) {
  const std::string target = writeText("out.bin", std::string(5000, 'Z'));
  OutputFile out;
  ASSERT_TRUE(out.create(target));
  // Runs arrive out of order and leave a hole; the hole reads as zeros.
  const std::string tail = "TAIL", head = "head", middle = "middle";
  ByteView tailPiece = viewOf(tail), headPiece = viewOf(head), middlePiece = viewOf(middle);
  EXPECT_EQ(out.writeAt(20, {&tailPiece, 1}).kind, Status::Kind::kOk);
  EXPECT_EQ(out.writeAt(0, {&headPiece, 1}).kind, Status::Kind::kOk);
  EXPECT_EQ(out.writeAt(10, {&middlePiece, 1}).kind, Status::Kind::kOk);
  EXPECT_EQ(readText("out.bin"), std::string(5000, 'Z'));
  ASSERT_TRUE(out.commit());
  const std::string written =
      "head" + std::string(6, '\0') + "middle" + std::string(4, '\0') + "TAIL";
  EXPECT_EQ(readText("out.bin"), written);
  EXPECT_NE(out.writeAt(0, {&headPiece, 1}).kind, Status::Kind::kOk)
      << "a committed file took a write";

#ifndef _WIN32
  // A discard after the commit puts the earlier file back. (Windows moves
  // the file into place for good.)
  out.discard();
  EXPECT_EQ(readText("out.bin"), std::string(5000, 'Z'));
#endif
  ASSERT_TRUE(out.create(target));
  EXPECT_EQ(out.writeAt(0, {&headPiece, 1}).kind, Status::Kind::kOk);
  ASSERT_TRUE(out.commit());
  out.keep();
  out.discard();
  EXPECT_EQ(readText("out.bin"), "head");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"out.bin"}) << "a temporary file was left";
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
  ASSERT_EQ(out.writeAt(3, pieces).kind, Status::Kind::kOk);
  ASSERT_TRUE(out.commit());
  out.keep();
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
  ASSERT_EQ(out.writeAt(offset, {&piece, 1}).kind, Status::Kind::kOk);
  ASSERT_TRUE(out.commit());
  out.keep();
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
  EXPECT_FALSE(out.create(dir_.string())) << "a folder was taken as an output";

  ASSERT_TRUE(out.create(path("partial.bin")));
  const std::string some = "some bytes";
  ByteView piece = viewOf(some);
  EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Status::Kind::kOk);
  out.discard();
  EXPECT_TRUE(fs::is_empty(dir_)) << "a discarded output left a file";
}

TEST_F(PlatformTest, FilesNamedAsForbiddenAreNeverOutputs) {
  // The cache being read must not be written over, through another name
  // (a hard link) neither.
  const std::string cache = writeText("c.gcf", "cache bytes");
  fs::create_hard_link(cache, dir_ / "link.gcf");
  MappedFile mapping;
  ASSERT_TRUE(mapping.map(cache));
  const FileIdentity forbidden[] = {mapping.identity()};
  for (const std::string& target : {cache, path("link.gcf")}) {
    OutputFile out;
    EXPECT_FALSE(out.create(target, &mapping)) << target;
    EXPECT_FALSE(out.create(target, nullptr, forbidden)) << target;
  }
  EXPECT_EQ(contentOf(mapping.bytes()), "cache bytes");
}

TEST_F(PlatformTest, AFullDeviceIsReportedAsAFailedWriteAndStays) {
  // Only where the system has a device that is always full.
  const std::string full = "/dev/full";
  if (!fs::exists(full)) GTEST_SKIP() << "no " << full << " here";
  const std::string bytes(100000, 'b');
  ByteView piece = viewOf(bytes);
  OutputFile out;
  ASSERT_TRUE(out.create(full));
  EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Status::Kind::kOutputFailed);
  EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Status::Kind::kOutputFailed)
      << "a write after a failure succeeded";
  EXPECT_FALSE(out.commit());
  out.discard();
  EXPECT_TRUE(fs::exists(full));
}

}  // namespace
}  // namespace vaultcat::platform
