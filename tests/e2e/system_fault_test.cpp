// What the system does underneath a run: the cache shrinking or being
// rewritten while it is read, interrupts, a standard output that is closed
// or whose reader leaves, a file-size limit, another run at work on the same
// file. An extraction either ends in "Success!" or leaves the destination
// exactly as it was; a listing never ends in a signal.
//
// To act in the middle of a run, the run's standard output is a pipe that
// nobody reads: once it is full, the program waits in its next write.
#include <linux/io_uring.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
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

const std::string kUsersCopy = "the user's own copy of big.bin\n";
const std::string kStopped =
    "vaultcat: standard output can no longer be written, so the run stopped and nothing was "
    "changed\n";

class SystemFaultTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
    // 6,000 blocks of 512 bytes print about 180 KB of progress: more than a
    // pipe and the program's own buffer hold together. In one chain, the
    // bytes are copied by the system; with every block a fragment of its
    // own, read many at a time.
    for (const bool shuffled : {false, true}) {
      CacheBuilder b;
      b.cacheId(1).blockSize(512);
      if (shuffled) b.shuffleDataBlocks(92);
      b.addFile(0, "big.bin", sampleBytes(3 << 20, 90));
      (shuffled ? shuffled_ : big_) = b.build();
    }
    makeDir("out");
    std::ofstream(at("out/big.bin"), std::ios::binary) << kUsersCopy;
  }

  // A fresh copy of the cache, which the test may change behind the
  // program's back (so it is not one run() checks).
  std::string freshCache(const std::string& name = "c.gcf", bool shuffled = false) {
    EXPECT_TRUE((shuffled ? shuffled_ : big_).writeFile(at(name)));
    return at(name);
  }

  // Starts the extraction of big.bin and waits until it is mid-way.
  std::unique_ptr<StartedProgram> startPaused(const std::string& cache,
                                              const RunOptions& options = {}) {
    auto program = std::make_unique<StartedProgram>(
        std::vector<std::string>{"x", cache, "big.bin", at("out")}, root(), options);
    EXPECT_TRUE(program->waitUntilOutputBlocks()) << "the run ended before it could be paused";
    return program;
  }

  // The user's file is there byte for byte, and nothing beside it.
  void expectOutUntouched() {
    EXPECT_EQ(listFolder("out"), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(readFile(at("out/big.bin")), kUsersCopy);
  }

  testsupport::CacheImage big_, shuffled_;
};

// Whether the program was built to read through io_uring, and the system
// lets a process set one up.
bool ringsAllowed() {
#ifdef VAULTCAT_READ_RING
  io_uring_params params{};
  const long ring = ::syscall(__NR_io_uring_setup, 1, &params);
  if (ring >= 0) ::close(static_cast<int>(ring));
  return ring >= 0;
#else
  return false;
#endif
}

// Status 1, the last line and no other says "Corrupt file", no "Success!".
void expectCorruptAtTheEnd(const ProgramRun& r) {
  EXPECT_EQ(r.status, 1) << describe(r);
  const size_t lastLine = r.out.rfind('\n', r.out.size() - 2) + 1;
  EXPECT_EQ(r.out.find("Corrupt file"), lastLine) << describe(r);
  EXPECT_EQ(r.out.find("Success!"), std::string::npos);
}

void rewriteInPlace(const std::string& path, std::streamoff from = 0) {
  // Past the coarse clock that stamps the change, then one byte of every
  // 4 KiB flipped, the size kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (std::streamoff at = from; at < static_cast<std::streamoff>(fs::file_size(path));
       at += 4096) {
    file.seekg(at);
    const int c = file.get();
    file.seekp(at);
    file.put(static_cast<char>(c ^ 0x5A));
  }
}

const std::pair<const char*, std::function<void(const std::string&)>> kChanges[] = {
    {"truncated to nothing", [](const std::string& c) { fs::resize_file(c, 0); }},
    {"truncated to half", [](const std::string& c) { fs::resize_file(c, fs::file_size(c) / 2); }},
    {"rewritten in place", [](const std::string& c) { rewriteInPlace(c); }},
    // As a careful tool or a restore from backup does: only the change
    // time tells, the tables being as they were and blocks not yet read
    // changed.
    {"its second half rewritten in place, its time put back",
     [](const std::string& c) {
       const fs::file_time_type written = fs::last_write_time(c);
       rewriteInPlace(c, static_cast<std::streamoff>(fs::file_size(c) / 2));
       fs::last_write_time(c, written);
     }},
};

TEST_F(SystemFaultTest, TheCacheChangingDuringAnExtractionIsCorruptAndChangesNothing) {
  for (const bool shuffled : {false, true}) {
    for (const auto& [what, change] : kChanges) {
      SCOPED_TRACE(std::string(what) + (shuffled ? ", shuffled" : ""));
      const std::string cache = freshCache("c.gcf", shuffled);
      auto program = startPaused(cache);
      change(cache);
      expectCorruptAtTheEnd(program->finish());
      expectOutUntouched();
    }
  }
}

TEST_F(SystemFaultTest, TheCacheChangingDuringAListingIsCorrupt) {
  CacheBuilder b;
  b.cacheId(1);
  for (int i = 0; i < 20000; ++i) b.addFile(0, "item-" + std::to_string(i) + ".txt", "x");
  const testsupport::CacheImage many = b.build();
  for (const auto& [what, change] : kChanges) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(many.writeFile(at("many.gcf")));
    StartedProgram program({"l", at("many.gcf")}, root());
    ASSERT_TRUE(program.waitUntilOutputBlocks());
    change(at("many.gcf"));
    expectCorruptAtTheEnd(program.finish());
  }
  // Every line before the report whole and in order, the text held back
  // too: damage far past what the output holds back, and a cache cut at a
  // page well past the paused run's names, whose next name then faults.
  const testsupport::CacheLayout& l = many.layout();
  const uint64_t cut =
      (l.nameTable + many.get32(l.directoryEntry(15000, testsupport::fields::kNameOffset))) &
      ~uint64_t{4095};
  std::string names = "Directory listing:\n\n", namesBeforeCut;
  for (uint32_t i = 0; i < 20000; ++i) {
    const std::string name = "item-" + std::to_string(i) + ".txt";
    names += name + "\n";
    // The name and its NUL lie before the cut.
    if (l.nameTable + many.get32(l.directoryEntry(i + 1, testsupport::fields::kNameOffset)) +
            name.size() <
        cut)
      namesBeforeCut = names;
  }
  ASSERT_TRUE(many.writeFile(at("many.gcf")));
  StartedProgram program({"l", at("many.gcf")}, root());
  ASSERT_TRUE(program.waitUntilOutputBlocks());
  fs::resize_file(at("many.gcf"), cut);
  ProgramRun r = program.finish();
  EXPECT_EQ(r.out.substr(0, r.out.rfind('\n', r.out.size() - 2) + 1),
            openedLines(at("many.gcf"), "Half-Life") + namesBeforeCut);
  expectCorruptAtTheEnd(r);

  testsupport::CacheImage damaged = many;
  damaged.set32(l.directoryEntry(20000, testsupport::fields::kNextSibling), 0xFFFFFFF0);
  const std::string cache = writeCache(damaged, "damaged.gcf");
  r = run({"l", cache});
  EXPECT_TRUE(r.out.starts_with(openedLines(cache, "Half-Life") + names)) << describe(r);
  EXPECT_EQ(r.out.find('\n', openedLines(cache, "Half-Life").size() + names.size()),
            r.out.size() - 1);
  expectCorruptAtTheEnd(r);
}

// The run waits in a write that has moved part of its text: an interrupt,
// or the reader going away, still ends it at once, with nothing read, and
// the user's file as it was. A signal the parent left ignored (nohup,
// trap '' HUP, a background job's SIGINT) stays ignored.
TEST_F(SystemFaultTest, InterruptsAndALostReaderLeaveTheUsersFile) {
  struct Case {
    int sent;  // SIGPIPE: the reader goes away
    std::vector<int> ignored = {};
  };
  const Case cases[] = {{SIGINT},  {SIGTERM},          {SIGHUP},
                        {SIGPIPE}, {SIGHUP, {SIGHUP}}, {SIGINT, {SIGINT, SIGHUP}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.sent) + " ignoring " + testing::PrintToString(c.ignored));
    auto program = startPaused(freshCache(), {.ignoredSignals = c.ignored});
    // Four pages read let the write it waits in move part of its text and
    // wait again.
    ASSERT_TRUE(program->readOutputUntil("Writing fragment 500 ("));
    ASSERT_TRUE(program->waitUntilOutputBlocks());
    if (c.sent == SIGPIPE) {
      program->closeOutputReader();
    } else {
      ::kill(program->pid(), c.sent);
    }
    const bool ignored = !c.ignored.empty();
    if (!ignored) {
      EXPECT_TRUE(program->exitsWithin(std::chrono::seconds(1)));
    }
    ProgramRun r = program->finish();
    EXPECT_EQ(r.status, ignored ? 0 : c.sent == SIGPIPE ? 1 : 128 + c.sent) << describe(r);
    EXPECT_EQ(r.err, c.sent == SIGPIPE ? kStopped : "");
    if (ignored) {
      EXPECT_TRUE(r.out.ends_with("\nSuccess!\n")) << describe(r);
      EXPECT_TRUE(readFile(at("out/big.bin")) == big_.expectedContent(1));
    } else {
      expectOutUntouched();
    }
  }
}

// Any signal that would end the process, alone or in a burst of mixed kinds
// at any moment of the run: the user's file as it was and the run ended by
// a signal, or the new file and "Success!". Never a temporary file.
TEST_F(SystemFaultTest, AStormOfSignalsLeavesTheOldFileOrTheNewWithSuccess) {
  // The file in one chain, and with every block a fragment of its own, in
  // turn: copied by the system, or read many at a time.
  const std::string caches[] = {at("small.gcf"), at("scattered.gcf")};
  testsupport::CacheImage small;
  for (const bool shuffled : {false, true}) {
    CacheBuilder b;
    b.cacheId(1).blockSize(1024);
    if (shuffled) b.shuffleDataBlocks(93);
    b.addFile(0, "big.bin", sampleBytes(1 << 20, 91));
    small = b.build();
    ASSERT_TRUE(small.writeFile(caches[shuffled]));
  }
  const int kinds[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                       SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGRTMIN + 3};
  // The signals come at any moment from the start to a little past the end
  // of a run left alone, however long a run takes in this build.
  std::chrono::microseconds span{0};
  for (const std::string& cache : caches) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run({"x", cache, "big.bin", at("out")}).status, 0);
    span = std::max(span, std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start) *
                              3 / 2);
  }
  std::mt19937 random(17);
  int completed = 0, interrupted = 0;
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    std::ofstream(at("out/big.bin"), std::ios::binary) << kUsersCopy;
    StartedProgram program({"x", caches[round % 2], "big.bin", at("out")}, root());
    std::this_thread::sleep_for(
        std::chrono::microseconds(random() % static_cast<uint64_t>(span.count() + 1)));
    std::vector<int> sent;
    for (auto n = 1 + random() % 3; n-- > 0;) {
      sent.push_back(kinds[random() % std::size(kinds)]);
      ::kill(program.pid(), sent.back());
    }
    const ProgramRun r = program.finish();
    EXPECT_EQ(listFolder("out"), std::vector<std::string>{"big.bin"});
    if (r.status == 0) {
      ++completed;
      EXPECT_TRUE(r.out.ends_with("\nSuccess!\n")) << describe(r);
      EXPECT_TRUE(readFile(at("out/big.bin")) == small.expectedContent(1)) << "not the new file";
    } else {
      ++interrupted;
      EXPECT_NE(std::find(sent.begin(), sent.end(), r.status - 128), sent.end()) << describe(r);
      EXPECT_EQ(r.out.find("Success!"), std::string::npos) << describe(r);
      EXPECT_EQ(readFile(at("out/big.bin")), kUsersCopy);
    }
  }
  // Both outcomes must have been tried for the rounds to mean anything.
  EXPECT_GT(completed, 0);
  EXPECT_GT(interrupted, 0);
}

// Where the file system cannot swap two names, the user's file keeps a
// second name until "Success!" is written, so a failure to write it still
// puts the file back. Where it has no hard links either, the file is moved
// aside to a hidden name first, and comes back just the same. Where even
// that is refused, the file is not replaced at all: never for good. A disk
// that fails to sync fails a run that replaces a file before it does, and
// does not concern one that only creates one.
//
// Where the system refuses io_uring, the fragmented file is read a block at a
// call instead, to the same lines and bytes.
TEST_F(SystemFaultTest, WithoutASwapTheUsersFileStillComesBack) {
  const std::string cache = freshCache("c.gcf", true);
  const std::string bytes = shuffled_.expectedContent(1);
  const std::string lines = run({"x", cache, "big.bin", at("out")}).out;
  struct Case {
    const char* refused;
    int status;
    bool replaced;
  };
  const Case cases[] = {
      {"exchange", 0, true},
      {"exchange,success", 1, false},
      {"exchange,link", 0, true},
      {"exchange,link,success", 1, false},
      {"exchange,link,aside", 1, false},
      {"sync", 1, false},
      {"noreplace", 0, true},  // no file there: created all the same
      {"noreplace,link", 0, true},
      {"noreplace,sync", 0, true},
      {"uring-setup", 0, true},
      {"uring-enter", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    const bool fresh = std::string_view(c.refused).starts_with("noreplace");
    if (fresh)
      fs::remove(at("out/big.bin"));
    else
      std::ofstream(at("out/big.bin"), std::ios::binary) << kUsersCopy;
    ProgramRun r = run({"x", cache, "big.bin", at("out")}, {}, refusing(c.refused));
    EXPECT_EQ(r.status, c.status) << describe(r);
    if (c.status == 0) {
      EXPECT_EQ(r.out, lines);
    }
    EXPECT_EQ(r.out.ends_with("\nSuccess!\n"), c.status == 0) << describe(r);
    EXPECT_EQ(listFolder("out"), std::vector<std::string>{"big.bin"});
    EXPECT_TRUE(readFile(at("out/big.bin")) == (c.replaced ? bytes : kUsersCopy));
  }
  // The last rows try the other way only if the program reads this file
  // through a ring at all; where it can, it does.
  if (!ringsAllowed()) GTEST_SKIP() << "this build or system gives no io_uring";
  EXPECT_EQ(run({"x", cache, "big.bin", at("out")}, {}, refusing("uring-kill")).status,
            128 + SIGSYS);
}

// A long run of blocks is copied inside the kernel: file to file where its
// place in the cache and in the output lie alike within a page, through a
// pipe where they do not. Where the system refuses one way, as kernels and
// file systems that lack it answer, the next takes over: the pipe, then a
// buffer.
TEST_F(SystemFaultTest, ARefusedWayOfCopyingHandsOverToTheNext) {
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  const std::string alike = sampleBytes((300 << 10) + 1, 94), unlike = sampleBytes(300 << 10, 95);
  b.addFile(0, "alike.bin", alike);
  b.addFile(0, "unlike.bin", unlike);  // from block 601, 512 bytes past a page
  b.dataPadding(4096 - b.build().layout().firstDataBlock % 4096);
  const std::string cache = writeCache(b.build(), "copies.gcf");
  for (const std::string way : {"copy", "topipe", "frompipe"}) {
    for (const char* error : {"", ",EXDEV", ",ENOSYS", ",EOPNOTSUPP"}) {
      SCOPED_TRACE(way + error);
      fs::remove_all(at("copied"));
      const ProgramRun r = run({"a", cache, "/", at("copied")}, {}, refusing(way + error));
      EXPECT_TRUE(r.status == 0 && r.out.ends_with("\nSuccess!\n")) << describe(r);
      if (r.status != 0) continue;
      EXPECT_TRUE(readFile(at("copied/alike.bin")) == alike);
      EXPECT_TRUE(readFile(at("copied/unlike.bin")) == unlike);
    }
  }
}

// Standard output left non-blocking by whoever started the program, with
// its reader late: the run waits for the reader, and no line is cut.
TEST_F(SystemFaultTest, ANonBlockingStandardOutputWaitsForItsReader) {
  StartedProgram program({"x", freshCache(), "big.bin", at("out")}, root(),
                         {.nonBlockingOutput = true});
  ASSERT_TRUE(program.waitUntilOutputBlocks());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const ProgramRun r = program.finish();
  EXPECT_EQ(r.status, 0) << describe(r);
  // Opened, identified, an empty line, found, the one block entry, one line
  // for each of the 6,144 data blocks, and Success!: each line whole.
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5 + 6144 + 1);
  EXPECT_TRUE(r.out.ends_with("\nWriting fragment 6143 (size 512)\nSuccess!\n")) << describe(r);
  EXPECT_TRUE(readFile(at("out/big.bin")) == big_.expectedContent(1));
}

TEST_F(SystemFaultTest, AClosedStandardOutputOrAFileSizeLimitFailsTheRun) {
  const std::string cache = freshCache();
  ProgramRun r = run({"x", cache, "big.bin", at("out")}, {}, {.closeStandardOutput = true});
  EXPECT_EQ(r.status, 1);
  expectOutUntouched();

  for (const bool shuffled : {false, true}) {
    SCOPED_TRACE(shuffled ? "shuffled" : "in one chain");
    r = run({"x", freshCache("c.gcf", shuffled), "big.bin", at("out")}, {},
            {.fileSizeLimit = 1 << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\nCouldn't write file big.bin\n")) << describe(r);
    expectOutUntouched();
  }
}

TEST_F(SystemFaultTest, AFailingRunLeavesAnotherRunsResultAlone) {
  auto failing = startPaused(freshCache("failing.gcf"));
  ProgramRun good = run({"x", freshCache(), "big.bin", at("out")});
  EXPECT_EQ(good.status, 0) << describe(good);
  fs::resize_file(at("failing.gcf"), 0);
  expectCorruptAtTheEnd(failing->finish());
  EXPECT_EQ(listFolder("out"), std::vector<std::string>{"big.bin"});
  EXPECT_EQ(readFile(at("out/big.bin")), big_.expectedContent(1));
}

}  // namespace
}  // namespace vaultcat::e2e
