// What the system does underneath a run: the cache shrinking or being
// rewritten while it is read, interrupts, a standard output that is closed
// or whose reader leaves, a file-size limit, another run at work on the same
// file. An extraction either ends in "Success!" or leaves the destination
// exactly as it was; a listing never ends in a signal.
//
// To act in the middle of a run, the run's standard output is a pipe that
// nobody reads: once it is full, the program waits in its next write.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
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

class SystemFaultTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
    // 6,000 blocks of 512 bytes print about 180 KB of progress: more than a
    // pipe and the program's own buffer hold together.
    CacheBuilder b;
    b.cacheId(1).blockSize(512);
    b.addFile(0, "big.bin", sampleBytes(3 << 20, 90));
    big_ = b.build();
    makeDir("out");
    std::ofstream(at("out/big.bin"), std::ios::binary) << kUsersCopy;
  }

  // A fresh copy of the cache, which the test may change behind the
  // program's back (so it is not one run() checks).
  std::string freshCache(const std::string& name = "c.gcf") {
    EXPECT_TRUE(big_.writeFile(at(name)));
    return at(name);
  }

  // Starts the extraction of big.bin and waits until it is mid-way.
  std::unique_ptr<StartedProgram> startPaused(const std::string& cache) {
    auto program = std::make_unique<StartedProgram>(
        std::vector<std::string>{"x", cache, "big.bin", at("out")}, root());
    EXPECT_TRUE(program->waitUntilOutputBlocks()) << "the run ended before it could be paused";
    return program;
  }

  // The user's file is there byte for byte, and nothing beside it.
  void expectOutUntouched() {
    EXPECT_EQ(listFolder("out"), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(readFile(at("out/big.bin")), kUsersCopy);
  }

  testsupport::CacheImage big_;
};

// Status 1, the last line and no other says "Corrupt file", no "Success!".
void expectCorruptAtTheEnd(const ProgramRun& r) {
  EXPECT_EQ(r.status, 1) << describe(r);
  const size_t lastLine = r.out.rfind('\n', r.out.size() - 2) + 1;
  EXPECT_EQ(r.out.find("Corrupt file"), lastLine) << describe(r);
  EXPECT_EQ(r.out.find("Success!"), std::string::npos);
}

void rewriteInPlace(const std::string& path) {
  // Past the coarse clock that stamps the change, then one byte of every
  // 4 KiB flipped, the size kept.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (std::streamoff at = 0; at < static_cast<std::streamoff>(fs::file_size(path)); at += 4096) {
    file.seekg(at);
    const int c = file.get();
    file.seekp(at);
    file.put(static_cast<char>(c ^ 0x5A));
  }
}

const std::pair<const char*, std::function<void(const std::string&)>> kChanges[] = {
    {"truncated to nothing", [](const std::string& c) { fs::resize_file(c, 0); }},
    {"truncated to half", [](const std::string& c) { fs::resize_file(c, fs::file_size(c) / 2); }},
    {"rewritten in place", rewriteInPlace},
};

TEST_F(SystemFaultTest, TheCacheChangingDuringAnExtractionIsCorruptAndChangesNothing) {
  for (const auto& [what, change] : kChanges) {
    SCOPED_TRACE(what);
    const std::string cache = freshCache();
    auto program = startPaused(cache);
    change(cache);
    expectCorruptAtTheEnd(program->finish());
    expectOutUntouched();
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
}

TEST_F(SystemFaultTest, InterruptsAndALostReaderLeaveTheUsersFile) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(signal);
    auto program = startPaused(freshCache());
    // The reader going away is SIGPIPE's usual cause: the write fails.
    if (signal == SIGPIPE) {
      program->closeOutputReader();
    } else {
      ::kill(program->pid(), signal);
    }
    ProgramRun r = program->finish();
    EXPECT_EQ(r.status, signal == SIGPIPE ? 1 : 128 + signal) << describe(r);
    expectOutUntouched();
  }
}

TEST_F(SystemFaultTest, AClosedStandardOutputOrAFileSizeLimitFailsTheRun) {
  const std::string cache = freshCache();
  ProgramRun r = run({"x", cache, "big.bin", at("out")}, {}, {.closeStandardOutput = true});
  EXPECT_EQ(r.status, 1);
  expectOutUntouched();

  r = run({"x", cache, "big.bin", at("out")}, {}, {.fileSizeLimit = 1 << 20});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.ends_with("\nCouldn't write file big.bin\n")) << describe(r);
  expectOutUntouched();
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
