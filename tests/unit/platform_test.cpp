// The platform layer against the file system it runs on: what a mapped
// source shows, which files it refuses, where positioned writes land
// however the calls split them, and that a discarded or failed output is
// never left looking complete. The same expectations hold for every system.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/destination/destination.h"
#include "platform/destination/folder.h"
#include "platform/destination/journal.h"
#include "platform/destination/output_file.h"
#include "platform/destination/output_path.h"
#include "platform/destination/output_tree.h"
#include "platform/destination/staging.h"
#include "platform/destination/transaction.h"
#include "platform/process/process.h"
#include "platform/source/source_file.h"
#include "support/temp_folder.h"
#ifdef _WIN32
#include "platform/process/wide_path_win32.h"
#endif

namespace vaultcat::platform {
namespace {

namespace fs = std::filesystem;
using Kind = WriteStatus::Kind;

// Text as a source of pieces, as a cache held in memory is.
struct TextSource {
  explicit TextSource(std::string bytes) : text(std::move(bytes)) {
    source.hold({reinterpret_cast<const std::byte*>(text.data()), text.size()});
  }
  Piece piece(uint64_t offset, uint64_t length) const { return {offset, length}; }
  Piece all() const { return {0, text.size()}; }

  std::string text;
  SourceFile source;
};

std::string contentOf(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

using PlatformTest = testsupport::TempFolderTest;

TEST_F(PlatformTest, MappingShowsTheWholeFileAndReplacesAnEarlierOne) {
  std::string first(70000, '\0');
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<char>(i * 7 + 3);
  SourceFile file;
  ASSERT_TRUE(file.map(writeText("first.bin", first)));
  EXPECT_EQ(contentOf(file.bytes()), first);

  // A second map() lets go of the first file; a mapping of it would keep
  // it from being deleted on some systems.
  ASSERT_TRUE(file.map(writeText("second.bin", "x")));
  EXPECT_EQ(contentOf(file.bytes()), "x");
  EXPECT_TRUE(fs::remove(dir_ / "first.bin"));

  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.bytes().size(), 0u);
}

TEST_F(PlatformTest, MappingRefusesWhatIsNotANonEmptyFile) {
  writeText("empty.gcf", "");
  fs::create_directories(dir_ / "folder");
  for (const std::string relative : {"missing.gcf", "empty.gcf", "folder", "folder/missing"}) {
    SourceFile file;
    EXPECT_FALSE(file.map(path(relative))) << relative;
    EXPECT_FALSE(file.isOpen()) << relative;
  }
  // A refused map() also drops what was mapped before.
  SourceFile file;
  ASSERT_TRUE(file.map(writeText("good.gcf", "abc")));
  EXPECT_FALSE(file.map(path("missing.gcf")));
  EXPECT_FALSE(file.isOpen());
}

TEST_F(PlatformTest, ChangingDirectoryResolvesRelativePathsThereAndFailsCleanly) {
  const fs::path start = fs::current_path();
  fs::create_directories(dir_ / "out");
  writeText("out/inside.txt", "here");

  EXPECT_FALSE(changeWorkingDirectory(path("no-such-folder")));
  EXPECT_EQ(fs::current_path(), start);

  ASSERT_TRUE(changeWorkingDirectory(path("out")));
  SourceFile file;
  const bool mapped = file.map("inside.txt");
  file.close();
  fs::current_path(start);
  EXPECT_TRUE(mapped);
}

TEST_F(PlatformTest, TheMappedFileTellsWhenItChanges) {
  const std::string cache = writeText("c.gcf", "cache bytes");
  SourceFile mapping;
  ASSERT_TRUE(mapping.map(cache));
  EXPECT_TRUE(mapping.unchanged());
  std::ofstream(cache, std::ios::binary | std::ios::app) << "!";
#ifdef _WIN32
  // Windows lets no other writer in while the file is mapped.
  EXPECT_EQ(fs::file_size(cache), 11u);
  EXPECT_TRUE(mapping.unchanged());
#else
  EXPECT_EQ(fs::file_size(cache), 12u);
  EXPECT_FALSE(mapping.unchanged());
#endif
  EXPECT_EQ(mapping.identity().size, 11u);
}

TEST_F(PlatformTest, BothSeparatorsReachTheSameOutputFolder) {
  const fs::path start = fs::current_path();
  fs::create_directories(dir_ / "docs");
  ASSERT_TRUE(changeWorkingDirectory(dir_.string()));
  for (const std::string item : {"docs/a.txt", "docs\\b.txt"}) {
    OutputFile out;
    const TextSource text(item);
    const Piece piece = text.all();
    EXPECT_TRUE(out.create(outputPathFor(item).value_or(""), text.source)) << item;
    EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Kind::kOk) << item;
    EXPECT_TRUE(out.commit()) << item;
    out.keep();
  }
  fs::current_path(start);
  EXPECT_EQ(readText("docs/a.txt"), "docs/a.txt");
  EXPECT_EQ(readText("docs/b.txt"), "docs\\b.txt");
}

#ifdef _WIN32
// What the system makes of a path as typed, with the prefix that takes it
// past 260 characters: the system reads a prefixed path as it is.
TEST(WidePath, IsThePathAsTheSystemReadsItWithTheLongPrefix) {
  const std::wstring here = (fs::current_path() / "a" / "c").wstring();
  const std::pair<const char*, std::wstring> cases[] = {
      {"a/./b/../c", L"\\\\?\\" + here},
      {"\\\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\b"},
      {"//server/share/b", L"\\\\?\\UNC\\server\\share\\b"},
      // Already the system's own: as typed, but for the separators.
      {"\\\\?\\C:\\a/../b", L"\\\\?\\C:\\a\\..\\b"},
      {"docs/NUL", L"\\\\.\\NUL"},
      {"", L""},
  };
  for (const auto& [typed, wide] : cases) EXPECT_EQ(widePath(typed), wide) << typed;
}
#endif

// No output path leaves the folder it is taken in, nor names a device.
TEST(OutputPath, EveryPartMustBeANameOfItsOwn) {
#ifdef _WIN32
  const bool windows = true;
#else
  const bool windows = false;
#endif
  const std::pair<const char*, const char*> everywhere[] = {
      {"docs\\notes/a.txt", "docs/notes/a.txt"},
      {"..", nullptr},
      {"../a", nullptr},
      {"a/../../b", nullptr},
      {"a/..", nullptr},
      {"./a", nullptr},
      {"a/./b", nullptr},
      {"/etc/a", nullptr},
      {"\\etc\\a", nullptr},
      {"\\\\host\\a", nullptr},
      {"a//b", nullptr},
      {"a/", nullptr},
      {"", nullptr},
      {"...", windows ? nullptr : "..."},
      {" a", " a"},
      {"a\x01"
       "b",
       windows ? nullptr
               : "a\x01"
                 "b"},
  };
  for (const auto& [typed, path] : everywhere) {
    EXPECT_EQ(outputPathFor(typed), path ? std::optional<std::string>(path) : std::nullopt)
        << typed;
  }
  // What Windows reads as a drive, a stream or a device in every folder, or
  // trims to another name.
  for (const char* typed :
       {"c:a", "a:b", "a/b:c", "con", "CON.txt", "docs/aux", "Nul ", "com1.log", "LPT9",
        "com\xC2\xB9", "CONIN$", "a.", "a ", "a/.. ", "a?", "a*b", "a|b"}) {
    EXPECT_EQ(outputPathFor(typed).has_value(), !windows) << typed;
  }
  for (const char* typed : {"com10", "console", "nul_", "a.b", "lpt"}) {
    EXPECT_TRUE(outputPathFor(typed).has_value()) << typed;
  }
}

TEST_F(PlatformTest, AnExistingFileIsReplacedOnlyByACommit) {
  const std::string target = writeText("out.bin", std::string(5000, 'Z'));
  const TextSource text("TAILheadmiddle");
  const Piece tail = text.piece(0, 4), head = text.piece(4, 4), middle = text.piece(8, 6);
  OutputFile out;
  ASSERT_TRUE(out.create(target, text.source));
  // Runs arrive out of order and leave a hole; the hole reads as zeros.
  EXPECT_EQ(out.writeAt(20, {&tail, 1}).kind, Kind::kOk);
  EXPECT_EQ(out.writeAt(0, {&head, 1}).kind, Kind::kOk);
  EXPECT_EQ(out.writeAt(10, {&middle, 1}).kind, Kind::kOk);
  EXPECT_EQ(readText("out.bin"), std::string(5000, 'Z'));
  ASSERT_TRUE(out.commit());
  const std::string written =
      "head" + std::string(6, '\0') + "middle" + std::string(4, '\0') + "TAIL";
  EXPECT_EQ(readText("out.bin"), written);
  EXPECT_NE(out.writeAt(0, {&head, 1}).kind, Kind::kOk) << "a committed file took a write";

  // A discard after the commit puts the earlier file back: every system
  // keeps it until keep().
  out.discard();
  EXPECT_EQ(readText("out.bin"), std::string(5000, 'Z'));

  // A piece the source does not hold fails the output, at the write or at
  // the latest when it is flushed, and for good: the target stays as it was.
  ASSERT_TRUE(out.create(target, text.source));
  const Piece outside = text.piece(text.text.size() - 1, 2);
  const Kind atWrite = out.writeAt(0, {&outside, 1}).kind, flushed = out.flush().kind;
  EXPECT_TRUE(atWrite == Kind::kSourceUnreadable || flushed == Kind::kSourceUnreadable);
  EXPECT_NE(flushed, Kind::kOk);
  EXPECT_NE(out.writeAt(0, {&head, 1}).kind, Kind::kOk) << "a failed output took a write";
  EXPECT_FALSE(out.commit());
  out.discard();
  EXPECT_EQ(readText("out.bin"), std::string(5000, 'Z'));

  ASSERT_TRUE(out.create(target, text.source));
  EXPECT_EQ(out.writeAt(0, {&head, 1}).kind, Kind::kOk);
  ASSERT_TRUE(out.commit());
  out.keep();
  out.discard();
  EXPECT_EQ(readText("out.bin"), "head");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"out.bin"}) << "a temporary file was left";
}

// Pieces of every kind in one write, from a mapped cache read from the disk
// or from the page cache, and from ordinary memory: a run of single 8 KiB
// blocks in falling order, as a fragmented file gives them; longer than the
// writer's buffer and ending off a page boundary; tiny; just under, at and
// over the length that is copied inside the kernel. From the mapping the
// long piece lies in the output as in the cache, pages alike. However the
// calls split them and whatever order they are read in, the bytes arrive
// whole and in order, a gap between writes reads as zeros, and of two
// writes to the same bytes the later wins.
TEST_F(PlatformTest, PiecesArriveWholeHoweverTheCallsSplitThem) {
  std::string source(14 << 20, '\0');
  std::mt19937 rng(7);
  std::generate(source.begin(), source.end(), [&] { return static_cast<char>(rng()); });
  struct Span {
    uint64_t from, length;
  };
  std::vector<Span> spans;
  const uint64_t scattered = 600;  // enough to be read many at a time
  for (uint64_t block = scattered; block-- > 0;) spans.push_back({(9 << 20) + block * 8192, 8192});
  spans.insert(spans.end(),
               {{0, (5 << 20) + 123}, {(5 << 20) + 500, 3}, {(6 << 20) + 77, 200 << 10}});
  spans.push_back({(8 << 20) + 1, (256 << 10) - 1});
  spans.push_back({(8 << 20) + (300 << 10), 256 << 10});
  spans.push_back({(8 << 20) + (600 << 10), (256 << 10) + 1});

  SourceFile mapping;
  ASSERT_TRUE(mapping.map(writeText("source.bin", source)));
  const TextSource memory(source);
  const auto fromDisk = [&] {
#ifndef _WIN32
    const int file = ::open(path("source.bin").c_str(), O_RDONLY);
    ASSERT_EQ(::fdatasync(file), 0);
    ::posix_fadvise(file, 0, 0, POSIX_FADV_DONTNEED);
    ::close(file);
#endif
  };
  fromDisk();
  for (const char* way : {"from the disk", "from the page cache", "in memory"}) {
    SCOPED_TRACE(way);
    const bool mapped = way[0] == 'f';
    const uint64_t offset = mapped ? (5 << 20) - scattered * 8192 : 7;
    std::vector<Piece> pieces;
    std::string expected(offset, '\0');
    for (const Span& s : spans) {
      pieces.push_back({s.from, s.length});
      expected.append(source, s.from, s.length);
    }
    OutputFile out;
    ASSERT_TRUE(out.create(path("out.bin"), mapped ? mapping : memory.source));
    ASSERT_EQ(out.writeAt(offset, pieces).kind, Kind::kOk);
    ASSERT_TRUE(out.commit());
    out.keep();
    const std::string written = readText("out.bin");
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "the output differs from the pieces";
  }

  const Piece late{9 * 8192, 8192}, early{0, 8192};
  for (const uint64_t lateAt : {uint64_t{4 * 8192}, uint64_t{0}}) {
    SCOPED_TRACE(lateAt);
    fromDisk();
    OutputFile out;
    ASSERT_TRUE(out.create(path("out.bin"), mapping));
    ASSERT_EQ(out.writeAt(lateAt, {&late, 1}).kind, Kind::kOk);
    ASSERT_EQ(out.writeAt(0, {&early, 1}).kind, Kind::kOk);
    ASSERT_TRUE(out.commit());
    out.keep();
    std::string expected = source.substr(0, 8192);
    if (lateAt > 0) expected += std::string(3 * 8192, '\0') + source.substr(9 * 8192, 8192);
    EXPECT_TRUE(readText("out.bin") == expected);
#ifndef _WIN32
    struct stat info {};
    ASSERT_EQ(::stat(path("out.bin").c_str(), &info), 0);
    EXPECT_LE(info.st_blocks * 512, 2 * 8192) << "the gap was filled in, not left a hole";
#endif
  }
}

TEST_F(PlatformTest, PositionsPastFourGibibytesAreNotCutShort) {
  // Unwritten regions stay holes on the file systems the tests run on, so
  // this costs a few bytes of disk.
  const uint64_t offset = (uint64_t{1} << 32) + 12345;
  const std::string marker = "far";
  const TextSource text(marker);
  const Piece piece = text.all();
  OutputFile out;
  ASSERT_TRUE(out.create(path("far.bin"), text.source));
  ASSERT_EQ(out.writeAt(offset, {&piece, 1}).kind, Kind::kOk);
  ASSERT_TRUE(out.commit());
  out.keep();
  EXPECT_EQ(fs::file_size(dir_ / "far.bin"), offset + marker.size());
  std::ifstream in(dir_ / "far.bin", std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset - 1));
  std::string around(marker.size() + 1, '?');
  in.read(around.data(), static_cast<std::streamsize>(around.size()));
  EXPECT_EQ(around, std::string(1, '\0') + marker);
}

// Nothing is created where the folder is missing, and nothing is written
// into a folder or a device, which a failed run could not leave as they
// were. A discarded output leaves nothing.
TEST_F(PlatformTest, DiscardedAndUncreatableOutputsLeaveNothing) {
  const TextSource text("some bytes");
  OutputFile out;
  EXPECT_FALSE(out.create(path("no-such-folder/file.txt"), text.source));
  EXPECT_FALSE(fs::exists(dir_ / "no-such-folder"));
  EXPECT_FALSE(out.create(dir_.string(), text.source)) << "a folder was taken as an output";
#ifdef _WIN32
  EXPECT_FALSE(out.create("NUL", text.source)) << "a device was taken as an output";
#else
  EXPECT_FALSE(out.create("/dev/null", text.source)) << "a device was taken as an output";
#endif

  ASSERT_TRUE(out.create(path("partial.bin"), text.source));
  const Piece piece = text.all();
  EXPECT_EQ(out.writeAt(0, {&piece, 1}).kind, Kind::kOk);
  out.discard();
  EXPECT_TRUE(fs::is_empty(dir_)) << "a discarded output left a file";
}

// The moves of a plan, walked forward, as "folder: letter name".
std::vector<std::string> movesOf(const CommitPlan& plan) {
  std::vector<std::string> moves;
  std::string folder;
  plan.forward(
      [&](std::string_view run) {
        folder = run;
        return true;
      },
      [&](const CommitPlan::Move& move) {
        moves.push_back(folder + ": " + static_cast<char>(move.kind) + " " +
                        std::string(move.name));
        return true;
      });
  return moves;
}

// A journal reads back as written, cut anywhere: a cut before its mark is a
// commit never begun, whatever record it falls in, and one after it the
// commit. What our writer never writes, a name that would lead out of the
// destination, a record of no kind or one after a mark, is no journal at
// all.
TEST_F(PlatformTest, AJournalReadsBackWhereverItIsCut) {
  Folder folder;
  ASSERT_EQ(folder.open(dir_.string()), Folder::Opened::kOpened);
  writeText("placed", "p");
  writeText("replaced", "r");
  FileIdentity placed, replaced, aFolder;
  ASSERT_TRUE(identifyAt({folder, "placed"}, placed) &&
              identifyAt({folder, "replaced"}, replaced) && folder.identify(aFolder));
  {
    CommitPlan plan;
    Journal journal;
    ASSERT_TRUE(journal.create({folder, "j"}, plan, false));
    plan.add("docs/manual", {CommitPlan::Kind::kReplacement, "guide.txt", placed, replaced});
    plan.add("", {CommitPlan::Kind::kFile, "new", placed, {}});
    ASSERT_TRUE(journal.mark(Journal::Mark::kCommitting));
  }
  const std::string whole = readText("j");
  const std::optional<Journal::Contents> read = Journal::read({folder, "j"});
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(movesOf(read->plan), (std::vector<std::string>{"docs/manual: X guide.txt", ": N new"}));
  EXPECT_EQ(read->last, Journal::Mark::kCommitting);
  const auto same = [](const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.born == b.born && a.type == b.type;
  };
  read->plan.forward(
      [](std::string_view) { return true; },
      [&](const CommitPlan::Move& move) {
        EXPECT_TRUE(same(move.in, placed));
        EXPECT_TRUE(same(move.there, move.name == "new" ? FileIdentity() : replaced));
        return true;
      });
  for (size_t length = 0; length < whole.size(); ++length) {
    writeText("cut", whole.substr(0, length));
    const std::optional<Journal::Contents> cut = Journal::read({folder, "cut"});
    ASSERT_TRUE(cut.has_value()) << length;
    EXPECT_EQ(cut->last, Journal::Mark::kNone) << length;
  }
  using namespace std::string_literals;
  const auto bytesOf = [](const FileIdentity& identity) {
    std::string bytes;
    for (const auto& [value, size] : {std::pair<uint64_t, int>{identity.device, 8},
                                      {identity.inode, 8},
                                      {static_cast<uint64_t>(identity.born), 8},
                                      {identity.type, 4}})
      for (int i = 0; i < size; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
  };
  const std::string file = bytesOf(placed), zero(28, '\0');
  FileIdentity noNumber = placed, elsewhere = placed;
  noNumber.inode = 0;
  elsewhere.device ^= 1;
  const std::string header = whole.substr(0, whole.find('F'));
  const std::pair<std::string, bool> made[] = {
      {header + "F\x01\0\0\0aN\x01\0\0\0b"s + file + "C"s, true},
      {"vaultcat journal 3 made\nF\x01\0\0\0aD\x01\0\0\0b"s + bytesOf(aFolder) + "C"s, true},
      {header + "F\x02\0\0\0..C"s, false},
      {header + "F\x03\0\0\0a//C"s, false},
      {header + "F\0\0\0\0N\x03\0\0\0a/b"s + file + "C"s, false},
      {header + "F\0\0\0\0N\0\0\0\0"s + file + "C"s, false},
      {header + "N\x01\0\0\0a"s + file + "C"s, false},
      // The tree as the destination itself, beside it: no record of a run.
      {header + "R\x06\0\0\0victim"s + bytesOf(aFolder) + "C"s, false},
      // A staging folder's own name; identities that are no file's, or
      // not of the kind moved.
      {header + "F\0\0\0\0N\x12\0\0\0.vaultcat-abcdefgh"s + file + "C"s, false},
      {header + "F\0\0\0\0N\x01\0\0\0a"s + zero + "C"s, false},
      {header + "F\0\0\0\0N\x01\0\0\0a"s + bytesOf(noNumber) + "C"s, false},
      {header + "F\0\0\0\0N\x01\0\0\0a"s + bytesOf(elsewhere) + "C"s, false},
      {header + "F\0\0\0\0D\x01\0\0\0a"s + file + "C"s, false},
      {header + "F\0\0\0\0X\x01\0\0\0a"s + file + bytesOf(aFolder) + "C"s, false},
      {header + "F\0\0\0\0CF\0\0\0\0"s, false},
      {header + "ZC", false},
      {"not a journal\nC", false},
  };
  for (const auto& [bytes, valid] : made) {
    writeText("made", bytes);
    const std::optional<Journal::Contents> contents = Journal::read({folder, "made"});
    EXPECT_EQ(contents && contents->last == Journal::Mark::kCommitting, valid) << bytes;
    EXPECT_EQ(contents.has_value(), valid) << bytes;
    EXPECT_EQ(contents && contents->madeDestination,
              valid && bytes.starts_with("vaultcat journal 3 made"))
        << bytes;
  }
}

// The moves of a transaction, each call noted as what it does and the
// name it does it to; the `refused`-th (counting from 1) fails as the
// system fails one, without doing anything.
class RefusingMoves final : public Moves {
 public:
  explicit RefusingMoves(int refused) : refused_(refused) {}
  bool refusedOne() const { return static_cast<int>(calls_.size()) >= refused_; }
  const std::vector<std::string>& calls() const { return calls_; }

  Placement putInPlace(At temporary, At target, const FileIdentity* replaced, At backup,
                       Failure& failure) override {
    if (refuse("in ", target.name, failure)) return Placement::kNone;
    return Moves::putInPlace(temporary, target, replaced, backup, failure);
  }
  Placement putFolderInPlace(At temporary, At target, Failure& failure) override {
    if (refuse("in ", target.name, failure)) return Placement::kNone;
    return Moves::putFolderInPlace(temporary, target, failure);
  }
  bool takeBack(At temporary, At target, At backup, const FileIdentity& placed,
                const FileIdentity* replaced) override {
    Failure failure;
    return !refuse("back ", target.name, failure) &&
           Moves::takeBack(temporary, target, backup, placed, replaced);
  }
  bool syncFolder(const Folder& folder) override {
    Failure failure;
    return !refuse("sync", "", failure) && Moves::syncFolder(folder);
  }

 private:
  bool refuse(const char* what, const char* name, Failure& failure) {
    calls_.push_back(what + std::string(name));
    failure = {Failure::Kind::kSystem, EIO};
    return static_cast<int>(calls_.size()) == refused_;
  }
  std::vector<std::string> calls_;
  const int refused_;
};

// Every file and folder under `top`, by its path from there: a file's
// bytes, "/" for a folder; hidden ones too, as the staging folder is, where
// `hidden`.
std::map<std::string, std::string> treeOf(const fs::path& top, bool hidden = true) {
  std::map<std::string, std::string> tree;
  for (auto entry = fs::recursive_directory_iterator(top); entry != fs::end(entry); ++entry) {
    if (!hidden && entry->path().filename().string().starts_with(".")) {
      entry.disable_recursion_pending();
      continue;
    }
    std::ifstream in(entry->path(), std::ios::binary);
    tree[fs::relative(entry->path(), top).generic_string()] =
        entry->is_directory()
            ? "/"
            : std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return tree;
}

// A transaction against a real folder, committed, then taken back as when
// "Success!" cannot be said, with each call of its moves refused in turn.
// A refused commit is taken back whole; a refused take-back leaves the
// user's files in the staging folder, and the next run into the
// destination takes the rest back from the journal. Either way the
// destination ends as it was, nothing left beside it; committed, it is the
// new tree, its files replaced before their folders are synced, and taken
// back last first. Both where the destination was there and where the run
// made it, which goes again, and goes with the next run that takes back
// one that made it.
TEST_F(PlatformTest, ATransactionIsTakenBackWhicheverOfItsMovesIsRefused) {
  using K = CommitPlan::Kind;
  // What is at a path before and after ("/" for a folder, null for
  // nothing), and the move the plan makes of it: none for a folder gone
  // into or an item that comes in with its folder.
  struct Row {
    const char* path;
    const char* before;
    const char* after;
    std::optional<K> move;
  };
  const Row rows[] = {
      {"docs", "/", "/", {}},
      {"docs/guide.txt", "the user's guide", "the cache's guide", K::kReplacement},
      {"docs/same.txt", "the same", "the same", K::kKept},
      {"docs/more.txt", nullptr, "more", K::kFile},
      {"new", nullptr, "/", K::kFolder},
      {"new/deep.txt", nullptr, "deep", {}},
      {"readme.txt", "the user's readme", "the cache's readme", K::kReplacement},
  };
  const std::vector<std::string> calls[] = {
      {"in guide.txt", "in more.txt", "in new", "in readme.txt", "sync", "sync", "back readme.txt",
       "back new", "back more.txt", "back guide.txt"},
      {"in docs", "in new", "in readme.txt", "back readme.txt", "back new", "back docs"}};
  for (const bool there : {true, false}) {
    std::map<std::string, std::string> before, after{{"out", "/"}};
    if (there) before["out"] = "/";
    for (const Row& row : rows) {
      if (there && row.before) before["out/" + std::string(row.path)] = row.before;
      after["out/" + std::string(row.path)] = row.after;
    }
    for (int refused = 1;; ++refused) {
      SCOPED_TRACE((there ? "there, refused call " : "new, refused call ") +
                   std::to_string(refused));
      fs::remove_all(dir_ / "out");
      for (const auto& [path, text] : before)
        text == "/" ? (void)fs::create_directory(dir_ / path) : (void)writeText(path, text);
      OutputTree::Problem problem;
      const ProblemNote note(problem);
      std::vector<OutputTree::Recovered> recovered;
      bool whole = true, refusedOne = false;
      {
        Destination destination({}, note);
        ASSERT_TRUE(destination.open(path("out"), recovered));
        RefusingMoves moves(refused);
        Transaction transaction(destination, note, moves);
        ASSERT_TRUE(transaction.stage());
        const fs::path staged = fs::path(transaction.stagingPath());
        for (const Row& row : rows) {
          const bool folder = std::string_view(row.after) == "/";
          // A file kept is never written, where it is there.
          if (!there || row.move != K::kKept) {
            folder ? (void)fs::create_directory(staged / staging::kTree / row.path)
                   : (void)(std::ofstream(staged / staging::kTree / row.path) << row.after);
          }
          // Into a new destination each item at its top comes in with all
          // it holds.
          const bool top = std::string_view(row.path).find('/') == std::string_view::npos;
          const bool moved = there ? row.move.has_value() : top;
          const K move = there ? row.move.value_or(K::kFile) : folder ? K::kFolder : K::kFile;
          if (there && folder && row.before)
            fs::create_directory(staged / staging::kOld / row.path);
          FileIdentity in, seen;
          identifyAt({transaction.tree(), row.path}, in);
          identifyAt({destination.folder(), row.path}, seen);
          if (move == K::kKept) in = seen;
          if (moved) transaction.record(row.path, move, in, there && row.before ? &seen : nullptr);
        }
        const bool committed = transaction.commit();
        refusedOne = moves.refusedOne();
        EXPECT_EQ(committed, !refusedOne) << "a refused commit went on";
        if (committed) {
          EXPECT_EQ(treeOf(dir_, false), after);
        }
        whole = transaction.takeBack();
        EXPECT_EQ(whole, problem.failure.kind != Failure::Kind::kCannotTakeBack);
        transaction.cleanUp(whole);
        if (whole) destination.unmake();
        refusedOne = moves.refusedOne();
        if (!refusedOne) {
          EXPECT_EQ(moves.calls(), calls[there ? 0 : 1]);
        }
      }
      if (!whole) {
        Destination next({}, note);
        ASSERT_TRUE(next.open(path("out"), recovered));
        EXPECT_TRUE(recovered.size() == 1 && recovered[0].tookBack);
        EXPECT_EQ(next.made(), !there);
        next.unmake();
      }
      EXPECT_EQ(treeOf(dir_), before);
      if (!refusedOne) break;
    }
  }
}

#ifndef _WIN32
// The file standard output goes to is never replaced, by a file or by a
// tree: the run's own lines would be lost with it. (Not on Windows: under
// Wine the test's own standard output did not come back from elsewhere.)
TEST_F(PlatformTest, NoOutputReplacesTheFileStandardOutputGoesTo) {
  const std::string listing = writeText("listing.txt", "the lines so far");
  const TextSource text("new");
  std::fflush(stdout);
  const int saved = ::dup(1), file = ::open(listing.c_str(), O_WRONLY | O_APPEND);
  ASSERT_TRUE(saved >= 0 && file >= 0 && ::dup2(file, 1) == 1);
  OutputFile out;
  const bool taken = out.create(listing, text.source);
  OutputTree tree;
  const bool begun = tree.begin(dir_.string(), text.source);
  const OutputTree::Found found = begun ? tree.inspect("listing.txt") : OutputTree::Found::kFile;
  tree.discard();
  ::dup2(saved, 1);
  ::close(saved);
  ::close(file);
  EXPECT_FALSE(taken) << "a file took the place of standard output's";
  EXPECT_EQ(found, OutputTree::Found::kOther) << "a tree may replace standard output's file";
  EXPECT_EQ(readText("listing.txt"), "the lines so far");
}

// An interrupt while an output is pending is only noted, and so is a second
// of the same kind right after it (Ctrl-C pressed twice): the handler stays,
// the writes answer a stop, not a failure, and the process ends by the
// signal once the output is undone.
TEST_F(PlatformTest, RepeatedInterruptsWaitForTheUndo) {
  const std::string target = writeText("out.bin", "old");
  EXPECT_EXIT(
      {
        setUpProcess("");
        const TextSource text("new");
        OutputFile out;
        if (!out.create(target, text.source)) std::_Exit(2);
        std::raise(SIGINT);
        std::raise(SIGINT);
        if (interruption() != SIGINT) std::_Exit(3);
        const Piece piece = text.all();
        static_cast<void>(out.writeAt(0, {&piece, 1}));  // may be held back until the flush
        if (out.flush().kind != Kind::kStopped ||
            out.writeAt(0, {&piece, 1}).kind != Kind::kStopped)
          std::_Exit(5);
        out.discard();
        endIfInterrupted();
        std::_Exit(4);
      },
      testing::KilledBySignal(SIGINT), "");
  EXPECT_EQ(readText("out.bin"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1)
      << "a temporary file was left";
}
#endif

}  // namespace
}  // namespace vaultcat::platform
