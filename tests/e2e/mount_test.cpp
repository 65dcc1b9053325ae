// The mount command, where this system lets a test mount (/dev/fuse can be
// opened: CI runs as root). Under Wine, the Windows program's one answer.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  // Why nothing can be mounted here, if it cannot; a test that needs a
  // mount skips then, one that also checks the other commands goes on.
  void SetUp() override {
    ProgramTest::SetUp();
    if (!runsNatively()) {
      whyNoMount_ = "the Windows program cannot mount";
      return;
    }
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) whyNoMount_ = "/dev/fuse cannot be opened here, so nothing can be mounted";
    if (fuse >= 0) ::close(fuse);
    if (std::system("command -v fusermount3 >/dev/null") != 0)
      whyNoMount_ = "no fusermount3 (Debian: fuse3) to unmount with";
  }
  void TearDown() override {
    for (const std::string& point : points_)
      if (isMountPoint(point)) unmount(point);
    ProgramTest::TearDown();
  }

  // Mounts `cache` at a new folder, quietly but for `said`, and answers
  // its path.
  std::string mount(const std::string& cache, const std::string& said = "") {
    const std::string point = makeDir("mnt" + std::to_string(points_.size()));
    points_.push_back(point);
    const ProgramRun r = run({"m", cache, point}, {}, {.readToTheEnd = true});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(r.out, said);
    EXPECT_TRUE(isMountPoint(point));
    return point;
  }
  static void unmount(const std::string& point) {
    EXPECT_EQ(std::system(("fusermount3 -u -z '" + point + "'").c_str()), 0);
  }

  std::vector<std::string> points_;
  std::string whyNoMount_;
};

TEST_F(MountTest, ServesWhatTheTreeCommandWritesAndNoOtherNames) {
  if (!whyNoMount_.empty()) GTEST_SKIP() << whyNoMount_;
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
  if (!whyNoMount_.empty()) GTEST_SKIP() << whyNoMount_;
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
  // Of a damaged file no byte is served, not even those before the break.
  const Read reads[] = {
      {"broken.bin", 0, 512, kEio},
      {"broken.bin", 1500, 36, kEio},
      {"holes.bin", 0, 700, b},
      {"holes.bin", 650, 100, b.substr(650)},
      {"holes.bin", 700, 1, kEio},
      {"holes.bin", 2047, 2, kEio},
      {"holes.bin", 2048, 700, b},
      {"holes.bin", 2700, 100, b.substr(652)},  // up to the recorded size
      {"overlap.bin", 0, 400, kEio},
      {"overlap.bin", 700, 300, kEio},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(r.file + " at " + std::to_string(r.offset));
    EXPECT_EQ(readAt(point + "/" + r.file, r.offset, r.length), r.gives);
  }
}

// A cache written to, cut short or renamed over under the mount (which
// moves its change time, as any write does) fails every read from then on,
// and the mount goes on answering.
TEST_F(MountTest, ServesNothingButTheCacheAsItWasOpened) {
  if (!whyNoMount_.empty()) GTEST_SKIP() << whyNoMount_;
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
  // Written with its size and modification time put back: only the
  // change time tells.
  const auto writeAndHide = [&](const std::string& cache) {
    struct stat before {};
    ASSERT_EQ(::stat(cache.c_str(), &before), 0);
    write(cache);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, cache.c_str(), times, 0), 0);
  };
  const auto renameOver = [&](const std::string& cache) {
    ASSERT_TRUE(CacheBuilder().build().writeFile(cache + ".new"));
    fs::rename(cache + ".new", cache);
  };
  const std::pair<std::string, std::function<void(const std::string&)>> changes[] = {
      {"cut", cut}, {"written", write}, {"hidden", writeAndHide}, {"renamed", renameOver}};
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(name);
    // Not noted for the harness's own check that caches stay as they are.
    const std::string cache = at(name + ".gcf");
    ASSERT_TRUE(image.writeFile(cache));
    const std::string point = mount(cache);
    // Known to the kernel, so that listing it reads the cut part.
    EXPECT_TRUE(fs::is_directory(point + "/many"));
    change(cache);
    // Neither bytes nor names the kernel has not been given yet.
    EXPECT_EQ(readAt(point + "/readme.txt", 0, 700), kEio);
    std::error_code listed;
    EXPECT_EQ(std::distance(fs::directory_iterator(point + "/many", listed), {}), 0);
    EXPECT_EQ(listed.value(), EIO);
    // Still served: a new name is not "not connected".
    struct stat none {};
    EXPECT_EQ(::stat((point + "/none").c_str(), &none), -1);
    EXPECT_EQ(errno, EIO);
  }
}

// Each cache of the table through every command that reads its files:
// the check, the long listing, the tree command with and without salvage,
// and the mount (where this system mounts). Every command gives each file
// the one verdict, the bytes on disk are those of the whole files, and the
// mount serves the bytes the cache holds and nothing else.
TEST_F(MountTest, EveryCommandGivesEachFileOneVerdict) {
  const std::string whole = sampleBytes(1300, 20), loop = sampleBytes(4000, 21),
                    guide = sampleBytes(700, 22), last = sampleBytes(1500, 23),
                    named = sampleBytes(100, 24);
  const std::string longName(300, 'n');
  const auto build = [&](bool withLongName) {
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    b.addFile(0, "whole.bin", whole);
    b.addFile(0, "loop.bin", loop);
    b.addFile(b.addFolder(0, "docs"), "guide.txt", guide);
    if (withLongName) b.addFile(0, longName, named);
    // Added last, its blocks end the cache.
    b.addFile(0, "last.bin", last);
    return b.build();
  };
  const CacheImage healthy = build(false);
  const CacheLayout& l = healthy.layout();
  CacheImage cutInFile = healthy, cutBetween = healthy, cutInTables = healthy, looping = healthy;
  cutInFile.truncate(healthy.size() - 100);
  cutBetween.truncate(l.dataBlock(healthy.chainOf(healthy.blockEntriesOf(5)[0])[0]));
  cutInTables.truncate(l.dataBlockHeader + 8);
  const std::vector<uint32_t> chain = looping.chainOf(looping.blockEntriesOf(2)[0]);
  looping.set32(l.fragment(chain[4]), chain[1]);  // from its fifth block back to its second

  // What a file is to every command: whole (""), incomplete ("n" bytes
  // held), damaged ("!" and why) or a name the system cannot take ("?").
  using Verdicts = std::map<std::string, std::string>;
  const Verdicts allWhole = {
      {"whole.bin", ""}, {"loop.bin", ""}, {"docs/guide.txt", ""}, {"last.bin", ""}};
  const auto with = [&](std::string path, std::string verdict) {
    Verdicts verdicts = allWhole;
    verdicts[path] = verdict;
    return verdicts;
  };
  const std::map<std::string, std::string> content = {{"whole.bin", whole},
                                                      {"loop.bin", loop},
                                                      {"docs/guide.txt", guide},
                                                      {"last.bin", last},
                                                      {longName, named}};
  struct Row {
    std::string name;
    const CacheImage& image;
    Verdicts verdicts;  // empty: the cache does not open
    uint64_t missing;
  };
  const CacheImage withLongName = build(true);
  const Row rows[] = {
      {"healthy", healthy, allWhole, 0},
      {"cut inside a file", cutInFile, with("last.bin", "1024"), 100},
      {"cut between files", cutBetween, with("last.bin", "0"), 1536},
      {"cut inside the tables", cutInTables, {}, 0},
      {"a chain that loops in its middle", looping, with("loop.bin", "!the data block chains loop"),
       0},
      {"a name too long", withLongName,
       with(longName, "?its name is longer than this system takes"), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string tag = "row" + std::to_string(&row - rows);
    const std::string cache = writeCache(row.image, tag + ".gcf");
    const std::string opened = openedLines(cache, "Half-Life");
    if (row.verdicts.empty()) {
      for (const std::vector<std::string>& args :
           std::vector<std::vector<std::string>>{{"t", cache},
                                                 {"l", "--long", cache},
                                                 {"a", cache, "/", at(tag)},
                                                 {"a", "-s", cache, "/", at(tag)}}) {
        const ProgramRun r = run(args);
        EXPECT_EQ(r.out, "Couldn't open file " + cache + ": Corrupt file.\n");
        EXPECT_EQ(r.status, 1);
      }
      EXPECT_FALSE(exists(at(tag)));
      continue;
    }
    const std::string cut = row.missing == 0 ? ""
                                             : "The cache is " + std::to_string(row.missing) +
                                                   " bytes shorter than its header records: the "
                                                   "files whose blocks lie past its end are "
                                                   "incomplete.\n";
    // The listing and x open only a whole cache.
    if (row.missing != 0) {
      for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
               {"l", cache}, {"x", cache, "whole.bin", makeDir(tag + "x")}}) {
        const ProgramRun r = run(args);
        EXPECT_EQ(r.out, "Couldn't open file " + cache + ": Corrupt file.\n");
        EXPECT_EQ(r.status, 1);
      }
    }
    // The line a check or a salvage gives of a file that is not whole.
    std::string lines, firstLine;
    uint64_t recorded = 0, notWhole = 0;
    for (const char* path :
         {"whole.bin", "loop.bin", "docs/guide.txt", longName.c_str(), "last.bin"}) {
      const auto found = row.verdicts.find(path);
      if (found == row.verdicts.end()) continue;
      const std::string& verdict = found->second;
      recorded += content.at(path).size();
      if (!verdict.empty() && verdict[0] == '?' && firstLine.empty()) {
        firstLine = "Couldn't create file " + std::string(path) + " - do all directorys exist? (" +
                    verdict.substr(1) + ")\n";
      }
      if (verdict.empty() || verdict[0] == '?') continue;
      ++notWhole;
      lines += verdict[0] == '!'
                   ? "Corrupt file: " + std::string(path) + ": " + verdict.substr(1) + ".\n"
                   : "Incomplete file: " + std::string(path) + ": " + verdict + " of " +
                         std::to_string(content.at(path).size()) + " bytes are in the cache.\n";
      if (firstLine.empty()) firstLine = lines;
    }
    const std::string files = std::to_string(row.verdicts.size()) + " files, ";
    const ProgramRun check = run({"t", cache});
    EXPECT_EQ(check.out,
              opened + cut + lines + "Checked " + files + std::to_string(recorded) + " bytes: " +
                  (notWhole == 0
                       ? "all whole"
                       : "1 " + std::string(lines[0] == 'C' ? "damaged" : "incomplete") + " file") +
                  ".\n");
    EXPECT_EQ(check.status, notWhole == 0 ? 0 : 2);
    const ProgramRun listing = run({"l", "--long", cache});
    EXPECT_EQ(listing.status, notWhole == 0 ? 0 : 2);
    for (const auto& [path, verdict] : row.verdicts) {
      const std::string size = std::to_string(content.at(path).size());
      const std::string state = verdict.empty() || verdict[0] == '?' ? "-"
                                : verdict[0] == '!'
                                    ? "damaged"
                                    : "incomplete (" + verdict + " of " + size + " bytes)";
      EXPECT_NE(listing.out.find(std::string(10 - size.size(), ' ') + size + "  " + state + "  " +
                                 path + "\n"),
                std::string::npos)
          << path << "\n"
          << listing.out;
    }
    // All or nothing: nothing written where a file is not whole or cannot
    // be written.
    const bool allGood = std::all_of(row.verdicts.begin(), row.verdicts.end(),
                                     [](const auto& v) { return v.second.empty(); });
    const ProgramRun tree = run({"a", "-q", cache, "/", at(tag + "all")});
    EXPECT_EQ(tree.status, allGood ? 0 : 1) << describe(tree);
    if (!firstLine.empty()) {
      EXPECT_EQ(tree.out.find(cut + firstLine), 0u) << tree.out;
    }
    EXPECT_EQ(exists(at(tag + "all")), allGood);
    // A salvage: every whole file, byte for byte, and nothing else.
    const ProgramRun salvage = run({"a", "-s", cache, "/", at(tag + "salvaged")});
    EXPECT_EQ(salvage.status, allGood ? 0 : 2) << describe(salvage);
    std::map<std::string, std::string> expected = {{"docs", "/"}};
    for (const auto& [path, verdict] : row.verdicts) {
      if (verdict.empty()) expected[path] = content.at(path);
      if (!verdict.empty() && verdict[0] == '?') {
        EXPECT_NE(salvage.out.find("Unwritable file: " + path + ": " + verdict.substr(1) + ".\n"),
                  std::string::npos)
            << salvage.out;
      }
    }
    EXPECT_EQ(treeAt(at(tag + "salvaged")), expected);
    // With --partial, an incomplete file too: the bytes the cache holds at
    // their place and zeros for the rest, on a line of its own; a damaged
    // one, or one of which the cache holds nothing, is still left out.
    const ProgramRun parts = run({"a", "-sp", cache, "/", at(tag + "parts")});
    EXPECT_EQ(parts.status, allGood ? 0 : 2) << describe(parts);
    for (const auto& [path, verdict] : row.verdicts) {
      if (verdict.empty() || verdict[0] == '!' || verdict[0] == '?') continue;
      const size_t held = std::stoul(verdict), size = content.at(path).size();
      if (held == 0) continue;
      expected[path] = content.at(path).substr(0, held) + std::string(size - held, '\0');
      EXPECT_NE(parts.out.find("Incomplete file: " + path + ": written in part, " + verdict +
                               " of " + std::to_string(size) + " bytes.\n"),
                std::string::npos)
          << parts.out;
    }
    EXPECT_EQ(treeAt(at(tag + "parts")), expected);
    if (!whyNoMount_.empty()) continue;
    // The mount: each byte the cache holds, and nothing of a damaged file
    // or past a part the cache lacks.
    const bool hidden = row.verdicts.count(longName) != 0;
    const std::string point =
        mount(cache, hidden ? "Not shown: 1 item, whose names cannot be file names here or repeat "
                              "a name before them in their folder\n"
                            : "");
    for (const auto& [path, verdict] : row.verdicts) {
      SCOPED_TRACE(path);
      const std::string& bytes = content.at(path);
      if (verdict.empty()) {
        EXPECT_EQ(readFile(point + "/" + path), bytes);
      } else if (verdict[0] == '?') {
        EXPECT_FALSE(fs::exists(point + "/" + path));
      } else if (verdict[0] == '!') {
        EXPECT_EQ(readAt(point + "/" + path, 0, bytes.size()), kEio);
        EXPECT_EQ(readAt(point + "/" + path, 3000, 100), kEio);
      } else {
        const uint64_t held = std::stoull(verdict);
        if (held > 0) {
          EXPECT_EQ(readAt(point + "/" + path, 0, held), bytes.substr(0, held));
        }
        EXPECT_EQ(readAt(point + "/" + path, held, bytes.size()), kEio);
      }
    }
  }
}

TEST_F(MountTest, AnInterruptUnmountsAForegroundMount) {
  if (!whyNoMount_.empty()) GTEST_SKIP() << whyNoMount_;
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
  if (!whyNoMount_.empty()) GTEST_SKIP() << whyNoMount_;
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
