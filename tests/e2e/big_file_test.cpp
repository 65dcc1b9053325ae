// Offsets and sizes past 2 GiB and 4 GiB, held in sparse files so that they
// cost almost no disk. Each test skips, saying why, where the filesystem
// cannot hold such files.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
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

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

// Why `dir` cannot hold a sparse file of `size` bytes; empty if it can.
std::string sparseFileProblem(const std::string& dir, uint64_t size) {
  struct statvfs space {};
  if (::statvfs(dir.c_str(), &space) != 0) return "cannot query the free space of " + dir;
  if (uint64_t{space.f_bavail} * space.f_frsize < 256 * kMiB)
    return "less than 256 MiB free in " + dir;
  const std::string probe = dir + "/sparse-probe";
  int fd = ::open(probe.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + probe;
  const char byte = 1;
  const bool written = ::pwrite(fd, &byte, 1, static_cast<off_t>(size - 1)) == 1;
  struct stat info {};
  const bool allocatedLittle =
      ::fstat(fd, &info) == 0 && uint64_t(info.st_blocks) * 512 < 16 * kMiB;
  ::close(fd);
  ::unlink(probe.c_str());
  if (!written)
    return "the filesystem of " + dir + " cannot hold a file of " + std::to_string(size) + " bytes";
  if (!allocatedLittle) return "the filesystem of " + dir + " does not keep holes in files";
  return {};
}

// `count` bytes of the file from `offset`; fewer if it ends first.
std::string readAt(const std::string& path, uint64_t offset, size_t count) {
  std::string bytes(count, '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t n = ::pread(fd, bytes.data(), count, static_cast<off_t>(offset));
  ::close(fd);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

using BigFileTest = ProgramTest;

// A run placed at 2 GiB and more lands exactly there; the 2 GiB before it
// are a hole of zeros.
TEST_F(BigFileTest, PlacesARunPast2GiB) {
  const uint64_t farOffset = 0x80000100;
  const std::string tail = sampleBytes(5000, 50), head = sampleBytes(100, 51);
  if (std::string why = sparseFileProblem(root(), farOffset + tail.size()); !why.empty())
    GTEST_SKIP() << why;

  CacheBuilder b(6);
  b.cacheId(1).blockSize(4096);
  b.addFile(0, "far.bin", RunList{{farOffset, tail, 0}, {0, head, 0}});
  const std::string cache = writeCache(b.build(), "far.gcf");
  makeDir("out");

  ProgramRun r = run({"x", cache, "far.bin", at("out")});
  EXPECT_EQ(r.out, openedLines(cache, "Half-Life") +
                       "Found far.bin, attempting to extract...\n"
                       "Writing block 0 (offset 2147483904, size 5000)\n"
                       "Writing fragment 0 (size 4096)\n"
                       "Writing fragment 1 (size 904)\n"
                       "Writing block 1 (offset 0, size 100)\n"
                       "Writing fragment 2 (size 100)\n"
                       "Success!\n");
  EXPECT_EQ(r.status, 0);
  const std::string out = at("out/far.bin");
  EXPECT_EQ(std::filesystem::file_size(out), farOffset + tail.size());
  EXPECT_EQ(readAt(out, 0, head.size()), head);
  EXPECT_EQ(readAt(out, head.size(), 65536), std::string(65536, '\0'));
  EXPECT_EQ(readAt(out, farOffset - 65536, 65536), std::string(65536, '\0'));
  EXPECT_EQ(readAt(out, farOffset, tail.size() + 1), tail);
}

// A cache of more than 4 GiB whose last file's blocks all lie past 4 GiB is
// listed and extracted like any other.
TEST_F(BigFileTest, ReadsACacheLargerThan4GiB) {
  const uint32_t blockSize = 8192;
  CacheBuilder b(5);
  b.cacheId(61).blockSize(blockSize);
  const uint32_t near = b.addFile(0, "near.txt", sampleBytes(3000, 52));
  const uint32_t data = b.addFolder(0, "data");
  b.reserveDataBlocks(static_cast<uint32_t>(4 * kGiB / blockSize) + 8);
  const uint32_t far = b.addFile(data, "far.bin", sampleBytes(20000, 53));
  const CacheImage image = b.build();
  // No spare blocks follow, so far.bin's three blocks end the file.
  ASSERT_GT(image.size() - 3 * blockSize, 4 * kGiB);
  if (std::string why = sparseFileProblem(root(), image.size()); !why.empty()) GTEST_SKIP() << why;

  const std::string cache = writeCache(image, "big.gcf");
  ASSERT_EQ(std::filesystem::file_size(cache), image.size());
  ProgramRun r = run({"l", cache});
  EXPECT_EQ(r.out, openedLines(cache, "Ricochet") +
                       "Directory listing:\n\n"
                       "near.txt\n"
                       "data\\\n"
                       "  far.bin\n");
  EXPECT_EQ(r.status, 0);

  makeDir("out/data");
  for (const auto& [path, item] :
       {std::pair<std::string, uint32_t>{"data/far.bin", far}, {"near.txt", near}}) {
    SCOPED_TRACE(path);
    r = run({"x", cache, path, at("out")});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(readFile(at("out/" + path)), image.expectedContent(item));
  }
}

}  // namespace
}  // namespace vaultcat::e2e
