// The mount command, where this system lets a test mount (/dev/fuse can be
// opened: CI runs as root). Under Wine, the Windows program's one answer.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
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
using testsupport::CacheLayout;
using testsupport::RunList;
using namespace testsupport::fields;

bool isMountPoint(const std::string& path) {
  struct statx info {};
  return ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &info) == 0 &&
         (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool waitFor(const std::function<bool()>& condition) {
  for (int i = 0; i < 1000 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return condition();
}

// What a read of `length` bytes at `offset` gives: the bytes, or the error.
std::string readAt(const std::string& path, uint64_t offset, size_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::strerror(errno);
  std::string bytes(length, '\0');
  const ssize_t n = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
  const int error = errno;
  ::close(fd);
  if (n < 0) return std::strerror(error);
  bytes.resize(static_cast<size_t>(n));
  return bytes;
}
const std::string kEio = std::strerror(EIO);

class MountTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (!runsNatively()) return;
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened here, so nothing can be mounted";
    ::close(fuse);
    if (std::system("command -v fusermount3 >/dev/null") != 0)
      GTEST_SKIP() << "no fusermount3 (Debian: fuse3) to unmount with";
  }
  void TearDown() override {
    for (const std::string& point : points_)
      if (isMountPoint(point)) unmount(point);
    ProgramTest::TearDown();
  }

  // Mounts `cache` at a new folder, quietly, and answers its path.
  std::string mount(const std::string& cache) {
    const std::string point = makeDir("mnt" + std::to_string(points_.size()));
    points_.push_back(point);
    const ProgramRun r = run({"m", cache, point});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(isMountPoint(point));
    return point;
  }
  static void unmount(const std::string& point) {
    EXPECT_EQ(std::system(("fusermount3 -u -z '" + point + "'").c_str()), 0);
  }

  std::vector<std::string> points_;
};

TEST_F(MountTest, ServesWhatTheTreeCommandWritesAndNoOtherNames) {
  if (!runsNatively()) GTEST_SKIP() << "the Windows program cannot mount";
  const std::string sample = VAULTCAT_SAMPLE_CACHE;
  ASSERT_EQ(run({"a", sample, "/", at("out")}).status, 0);
  const std::string guide = sampleBytes(2000000, 1);
  CacheBuilder b;
  b.blockSize(512);
  b.addFile(0, "kept", guide);
  for (const char* refused : {"", ".", "..", "a\\b", "a/b"}) b.addFile(0, refused, "refused");
  const uint32_t dup = b.addFolder(0, "dup");
  b.addFile(dup, "x", "first");
  b.addFile(dup, "x", "second");
  // Enough names that a lookup goes through an index of them.
  std::map<std::string, std::string> namesTree{{"kept", guide}, {"dup", "/"}, {"dup/x", "first"}};
  const uint32_t many = b.addFolder(0, "many");
  namesTree["many"] = "/";
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i);
    b.addFile(many, name, name);
    namesTree["many/" + name] = name;
  }
  b.addFile(many, "f7", "again");
  b.addFile(many, "a\\b", "refused");
  const std::string names = writeCache(b.build(), "names.gcf");
  struct Case {
    std::string cache, said;
    std::map<std::string, std::string> tree;
  };
  const Case cases[] = {
      {sample, "", treeAt(at("out"))},
      {names,
       "Not shown: 8 items, whose names cannot be file names here or repeat a name before them "
       "in their folder\n",
       namesTree},
  };
  struct stat cache {};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cache);
    // In the foreground, where all it says has been said once it ends.
    const std::string point = makeDir("mnt" + std::to_string(points_.size()));
    points_.push_back(point);
    StartedProgram serving({"m", "--foreground", c.cache, point}, root());
    ASSERT_TRUE(waitFor([&] { return isMountPoint(point); }));
    // Read as from the disk, where the mount asks for what follows ahead.
    const int cacheFile = ::open(c.cache.c_str(), O_RDONLY | O_CLOEXEC);
    ::fdatasync(cacheFile);
    ::posix_fadvise(cacheFile, 0, 0, POSIX_FADV_DONTNEED);
    ::close(cacheFile);
    EXPECT_EQ(treeAt(point), c.tree);
    // Nor found by a name the listing does not show.
    EXPECT_FALSE(fs::exists(point + "/a\\b"));
    EXPECT_FALSE(fs::exists(point + "/many/f40"));
    EXPECT_FALSE(fs::exists(point + "/many/a\\b"));
    // Read-only to whoever may read the cache, with its owner and times.
    ASSERT_EQ(::stat(c.cache.c_str(), &cache), 0);
    for (const auto& [path, bytes] : c.tree) {
      struct stat item {};
      ASSERT_EQ(::stat((point + "/" + path).c_str(), &item), 0) << path;
      const mode_t read = cache.st_mode & 0444;
      EXPECT_EQ(item.st_mode, bytes == "/" ? S_IFDIR | read | read >> 2 : S_IFREG | read) << path;
      EXPECT_EQ(item.st_uid, cache.st_uid);
      EXPECT_EQ(item.st_mtim.tv_sec, cache.st_mtim.tv_sec);
      EXPECT_EQ(::open((point + "/" + path).c_str(), O_WRONLY), -1);
    }
    unmount(point);
    const ProgramRun r = serving.finish();
    EXPECT_EQ(r.out, c.said);
    EXPECT_EQ(r.status, 0);
  }
}

// A file whose chain breaks, and one the cache holds in part: the rest of
// each reads, and the missing part fails rather than read as zeros.
TEST_F(MountTest, ReadsFailOnlyWhereTheCacheLacksTheBytes) {
  if (!runsNatively()) GTEST_SKIP() << "the Windows program cannot mount";
  const std::string a = sampleBytes(1536, 2), b = sampleBytes(700, 3);
  CacheBuilder builder;
  builder.blockSize(512);
  const uint32_t broken = builder.addFile(0, "broken.bin", a);
  builder.addFile(0, "holes.bin", RunList{{0, b}, {2048, b}});
  // Two runs that both give bytes 400 to 700: which are the file's?
  builder.addFile(0, "overlap.bin", RunList{{0, b}, {400, a.substr(0, 600)}});
  CacheImage image = builder.build();
  // The chain of broken.bin leaves the map after its first block.
  const CacheLayout& layout = image.layout();
  const uint32_t first = image.chainOf(image.blockEntriesOf(broken)[0])[0];
  image.set32(layout.fragment(first), 0x7FFFFFFF);
  const std::string point = mount(writeCache(image, "c.gcf"));
  struct Read {
    std::string file;
    uint64_t offset, length;
    std::string gives;
  };
  const Read reads[] = {
      {"broken.bin", 0, 512, a.substr(0, 512)},
      {"broken.bin", 0, 1536, a.substr(0, 512)},  // short, up to the break
      {"broken.bin", 512, 10, kEio},
      {"broken.bin", 1500, 36, kEio},
      {"holes.bin", 0, 700, b},
      {"holes.bin", 650, 100, b.substr(650)},
      {"holes.bin", 700, 1, kEio},
      {"holes.bin", 2047, 2, kEio},
      {"holes.bin", 2048, 700, b},
      {"holes.bin", 2700, 100, b.substr(652)},  // up to the recorded size
      {"overlap.bin", 0, 1000, b.substr(0, 400)},
      {"overlap.bin", 699, 1, kEio},
      {"overlap.bin", 700, 300, a.substr(300, 300)},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(r.file + " at " + std::to_string(r.offset));
    EXPECT_EQ(readAt(point + "/" + r.file, r.offset, r.length), r.gives);
  }
}

// A cache written to or cut short under the mount fails every read from
// then on, and the mount goes on answering; one renamed over goes on being
// served as it was.
TEST_F(MountTest, ServesNothingButTheCacheAsItWasOpened) {
  if (!runsNatively()) GTEST_SKIP() << "the Windows program cannot mount";
  CacheBuilder b;
  b.blockSize(512);
  const std::string readme = sampleBytes(700, 4);
  b.addFile(0, "readme.txt", readme);
  // Tables over several pages, that fault once the file is cut short.
  const uint32_t many = b.addFolder(0, "many");
  for (int i = 0; i < 400; ++i) b.addFile(many, "file" + std::to_string(i), "");
  const CacheImage image = b.build();
  const auto cut = [](const std::string& cache) { fs::resize_file(cache, 100); };
  const auto write = [](const std::string& cache) {
    const int fd = ::open(cache.c_str(), O_WRONLY);
    EXPECT_EQ(::pwrite(fd, "x", 1, 2000), 1);
    ::close(fd);
  };
  const auto renameOver = [&](const std::string& cache) {
    ASSERT_TRUE(CacheBuilder().build().writeFile(cache + ".new"));
    fs::rename(cache + ".new", cache);
  };
  struct Case {
    std::string name;
    std::function<void(const std::string&)> change;
    bool served;
  };
  const Case cases[] = {
      {"cut", cut, false}, {"written", write, false}, {"renamed", renameOver, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Not noted for the harness's own check that caches stay as they are.
    const std::string cache = at(c.name + ".gcf");
    ASSERT_TRUE(image.writeFile(cache));
    const std::string point = mount(cache);
    // Known to the kernel, so that listing it reads the cut part.
    EXPECT_TRUE(fs::is_directory(point + "/many"));
    c.change(cache);
    // Neither bytes nor names the kernel has not been given yet.
    EXPECT_EQ(readAt(point + "/readme.txt", 0, 700), c.served ? readme : kEio);
    std::error_code listed;
    const auto count = std::distance(fs::directory_iterator(point + "/many", listed), {});
    if (c.served) {
      EXPECT_EQ(count, 400);
    } else {
      EXPECT_EQ(listed.value(), EIO);
    }
    // Still served: a new name is not "not connected".
    struct stat none {};
    EXPECT_EQ(::stat((point + "/none").c_str(), &none), -1);
    EXPECT_EQ(errno, c.served ? ENOENT : EIO);
  }
}

TEST_F(MountTest, AnInterruptUnmountsAForegroundMount) {
  if (!runsNatively()) GTEST_SKIP() << "the Windows program cannot mount";
  const std::string cache = writeCache(CacheBuilder().build(), "c.gcf");
  const std::string point = makeDir("mnt");
  points_.push_back(point);
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    StartedProgram serving({"m", "-f", cache, point}, root());
    ASSERT_TRUE(waitFor([&] { return isMountPoint(point); }));
    ::kill(serving.pid(), signal);
    const ProgramRun r = serving.finish();
    EXPECT_EQ(r.status, 128 + signal) << describe(r);
    EXPECT_FALSE(isMountPoint(point));
  }
}

TEST_F(MountTest, AMountPointMustBeAFreeFolder) {
  const std::string cache = writeCache(CacheBuilder().build(), "c.gcf");
  if (!runsNatively()) {
    const ProgramRun r = run({"m", cache, makeDir("mnt")});
    EXPECT_EQ(r.out, "Mounting needs a system with FUSE, such as Linux\n");
    EXPECT_EQ(r.status, 1);
    return;
  }
  const std::string busy = mount(cache);
  // A mount whose server has gone.
  const std::string gone = makeDir("gone");
  points_.push_back(gone);
  StartedProgram killed({"m", "-f", cache, gone}, root());
  ASSERT_TRUE(waitFor([&] { return isMountPoint(gone); }));
  ::kill(killed.pid(), SIGKILL);
  killed.finish();
  const std::string cases[][2] = {
      {at("none"), "there is no such folder"},
      {at("none/mnt"), "there is no such folder"},
      {cache, "it is not a folder"},
      {busy, "something is mounted there already"},
      {gone, "something is mounted there already"},
  };
  for (const auto& [point, why] : cases) {
    const ProgramRun r = run({"m", cache, point});
    EXPECT_EQ(r.out, "Couldn't mount at " + point + ": " + why + "\n");
    EXPECT_EQ(r.status, 1);
  }
}

}  // namespace
}  // namespace vaultcat::e2e
