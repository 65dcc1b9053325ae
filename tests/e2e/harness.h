// Runs the built program as a child process, the way a user at a console
// would, and gives each test a fresh directory to run it in.
//
// The command that runs the program is VAULTCAT_COMMAND from the
// environment when it is set (split on spaces, e.g. "wine64 /b/vaultcat.exe"),
// otherwise the program this suite was built with.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/cache_writer.h"
#include "support/temp_folder.h"

namespace vaultcat::e2e {

using testsupport::sampleBytes;

struct ProgramRun {
  int status = -1;          // exit status; 128 + the signal if one ended it
  std::string out;          // standard output with "\r\n" turned into "\n"
  std::string err;          // standard error, as written
  bool timedOut = false;    // the run was killed at its deadline
  std::string launchError;  // why the program could not be started at all
};

// True when the suite runs the native build directly (no VAULTCAT_COMMAND).
bool runsNatively();

struct RunOptions {
  bool closeStandardOutput = false;           // the program starts with descriptor 1 closed
  bool nonBlockingOutput = false;             // ... or with it left non-blocking
  bool terminalOutput = false;                // ... or a terminal (a pseudo-terminal)
  uint64_t fileSizeLimit = 0;                 // RLIMIT_FSIZE in bytes; 0 for none
  uint64_t openFileLimit = 0;                 // RLIMIT_NOFILE; 0 for none
  std::vector<std::string> environment = {};  // NAME=VALUE added to the program's
  int umask = -1;                             // the program's umask; -1 for the test's
  std::vector<int> ignoredSignals = {};       // left ignored, as nohup or trap '' does
  int user = -1;  // run as this user, in the group of the same number (from root); -1: the test's
  // Standard output is read until every process that holds it lets it go,
  // not only until the program exits: the mount's server says its last
  // line after the program has returned.
  bool readToTheEnd = false;
};
// A native run in which the system refuses `calls`, a list that
// support/refuse_calls.cpp knows; and one that it kills once the program
// has moved `moves` names (before the first for 0).
RunOptions refusing(const std::string& calls);
RunOptions killedAfterMove(int moves);

// The program started in `workingDir`. Its standard output is a pipe that
// is read only by finish(), so a program that prints enough waits in a
// write until then: a known point in the middle of its run.
class StartedProgram {
 public:
  StartedProgram(const std::vector<std::string>& args, const std::string& workingDir,
                 const RunOptions& options = {});
  ~StartedProgram();  // kills the program if it still runs
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  int pid() const { return pid_; }
  // Waits until the pipe is full and (natively) the program waits in a
  // write to it; false if the program ended first.
  bool waitUntilOutputBlocks(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Reads standard output a page at a time, kept for finish(), until what
  // came holds `text`; false if the program ended or the time ran out first.
  bool readOutputUntil(std::string_view text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // The reader goes away: the program's next write to standard output fails.
  void closeOutputReader();
  // Waits for the program to exit, reading nothing; false if it still runs
  // at the timeout.
  bool exitsWithin(std::chrono::milliseconds timeout);
  // Reads everything and waits for the program to exit, at most `timeout`;
  // past that the program (and anything it started) is killed.
  ProgramRun finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  int pid_ = -1;
  int out_ = -1, err_ = -1, failure_ = -1;
  bool exited_ = false;
  std::string launchError_;
  std::string read_;  // what readOutputUntil() read
  bool readToTheEnd_ = false;
};

// Whole-file helpers; readFile throws std::runtime_error if it cannot read.
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// Every item under `folder`: its path from there, and its bytes, "/" for a
// folder, or "->" for a link, which is not followed. Empty where nothing
// is at `folder`.
std::map<std::string, std::string> treeAt(const std::string& folder);

// Each test gets its own empty directory (TempFolderTest), under its real
// path. run() checks after every run that no cache the test wrote has
// changed.
class ProgramTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override;

  const std::string& root() const { return root_; }
  // The absolute path of `relative` under the test's directory.
  std::string at(std::string_view relative) const;
  // Creates the folder (and any missing parents); returns its absolute path.
  std::string makeDir(std::string_view relative) const;
  // Writes the cache, notes its state for the unchanged check, and returns
  // its absolute path.
  std::string writeCache(const testsupport::CacheImage& image, std::string_view relative);
  // Runs the program in `workingDir` (default: the test's directory). A run
  // that timed out, could not start, or (natively) wrote to standard error
  // fails the test.
  ProgramRun run(const std::vector<std::string>& args, const std::string& workingDir = {},
                 const RunOptions& options = {});
  // The names in a folder, sorted; for "nothing else was written" checks.
  std::vector<std::string> listFolder(std::string_view relative) const;

 private:
  struct CacheState {
    std::string path;
    uint64_t size;
    uint64_t fingerprint;  // hash of the bytes, or the mtime for big files
  };
  static CacheState stateOf(const std::string& path);

  std::string root_;
  std::vector<CacheState> caches_;
};

// The text of a run for failure messages.
std::string describe(const ProgramRun& run);

// Lines of the usual start of a command on a good cache.
std::string openedLines(const std::string& archivePath, std::string_view title);

}  // namespace vaultcat::e2e
