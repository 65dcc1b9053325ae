#include "e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vaultcat::e2e {

namespace fs = std::filesystem;

bool runsNatively() {
  const char* command = std::getenv("VAULTCAT_COMMAND");
  return command == nullptr || *command == '\0';
}

RunOptions refusing(const std::string& calls) {
  return {.environment = {std::string("LD_PRELOAD=") + VAULTCAT_REFUSE_CALLS,
                          "VAULTCAT_REFUSE=" + calls, "ASAN_OPTIONS=verify_asan_link_order=0"}};
}

RunOptions killedAfterMove(int moves) {
  RunOptions options = refusing("");
  options.environment.push_back("VAULTCAT_KILL_AFTER_MOVE=" + std::to_string(moves));
  return options;
}

namespace {

// A console program on Windows writes text-mode output; comparisons are made
// on "\n" line ends whatever the platform.
std::string normaliseNewlines(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    result.push_back(text[i]);
  }
  return result;
}

// The words of the command that runs the program, before its arguments.
std::vector<std::string> programCommand() {
  std::vector<std::string> words;
  if (const char* command = std::getenv("VAULTCAT_COMMAND"); command != nullptr && *command) {
    std::istringstream in(command);
    for (std::string word; in >> word;) words.push_back(word);
  }
  if (words.empty()) words.push_back(VAULTCAT_PROGRAM);
  return words;
}

struct Pipe {
  int read = -1, write = -1;
  bool open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return true;
  }
  static void closeEnd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~Pipe() {
    closeEnd(read);
    closeEnd(write);
  }
};

// Reads whatever is ready; false once the writer has closed its end.
bool drain(int fd, std::string& into) {
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

// Whether the program waits in a write to its standard output, or polls
// it, as the system shows; natively only, where `pid` is the program's.
bool waitsForOutput(int pid) {
  if (!runsNatively()) return true;
  std::string call;
  std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/syscall"), call);
  return call.starts_with(std::to_string(SYS_write) + " 0x1 ") ||
         call.starts_with(std::to_string(SYS_ppoll) + " ");
}

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

}  // namespace

StartedProgram::StartedProgram(const std::vector<std::string>& args, const std::string& workingDir,
                               const RunOptions& options)
    : readToTheEnd_(options.readToTheEnd) {
  std::vector<std::string> words = programCommand();
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  std::vector<char*> environment;
  for (char** name = environ; *name != nullptr; ++name) environment.push_back(*name);
  std::vector<std::string> added = options.environment;
  for (std::string& name : added) environment.push_back(name.data());
  environment.push_back(nullptr);

  Pipe out, err, failure;
  if (!out.open() || !err.open() || !failure.open()) {
    launchError_ = "cannot make pipes";
    return;
  }
  // A terminal instead of the output pipe: its other side is read instead.
  int terminal = -1;
  if (options.terminalOutput) {
    const int side = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (side < 0 || ::grantpt(side) != 0 || ::unlockpt(side) != 0 ||
        (terminal = ::open(::ptsname(side), O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
      launchError_ = "cannot make a terminal";
      return;
    }
    Pipe::closeEnd(out.read);
    out.read = side;
  }
  pid_ = ::fork();
  if (pid_ < 0) {
    launchError_ = std::string("fork: ") + std::strerror(errno);
    return;
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec. The child leads its own
    // process group so that a timeout can end whatever it started.
    ::setpgid(0, 0);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::dup2(terminal >= 0 ? terminal : out.write, STDOUT_FILENO);
    if (options.closeStandardOutput) ::close(STDOUT_FILENO);
    if (options.nonBlockingOutput) ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
    ::dup2(err.write, STDERR_FILENO);
    if (options.fileSizeLimit > 0) {
      rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.openFileLimit > 0) {
      rlimit limit{options.openFileLimit, options.openFileLimit};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.umask >= 0) ::umask(static_cast<mode_t>(options.umask));
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const int signal : options.ignoredSignals) ::sigaction(signal, &ignore, nullptr);
    if (options.user >= 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(options.user)) != 0 ||
         ::setuid(static_cast<uid_t>(options.user)) != 0))
      ::_exit(126);
    const rlimit noCore{0, 0};  // a run ended by SIGQUIT leaves no core file behind
    ::setrlimit(RLIMIT_CORE, &noCore);
    const char* step = "chdir";
    if (::chdir(workingDir.c_str()) == 0) {
      step = "exec";
      ::execvpe(argv[0], argv.data(), environment.data());
    }
    int error = errno;
    (void)!::write(failure.write, step, std::strlen(step));
    (void)!::write(failure.write, &error, sizeof error);
    ::_exit(127);
  }
  ::setpgid(pid_, pid_);  // also here, so a kill never races the child's own call
  if (terminal >= 0) ::close(terminal);
  std::swap(out_, out.read);
  std::swap(err_, err.read);
  std::swap(failure_, failure.read);
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

StartedProgram::~StartedProgram() {
  if (pid_ > 0 && !exited_) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Pipe::closeEnd(out_);
  Pipe::closeEnd(err_);
  Pipe::closeEnd(failure_);
}

bool StartedProgram::waitUntilOutputBlocks(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A small write before a large one can leave a page of the pipe part
  // empty: full means within two pages of its size.
  const int full = ::fcntl(out_, F_GETPIPE_SZ) - 8192;
  while (std::chrono::steady_clock::now() < deadline) {
    int unread = 0;
    if (::ioctl(out_, FIONREAD, &unread) == 0 && unread >= full && waitsForOutput(pid_))
      return true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_)
      return false;
    ::usleep(2000);
  }
  return false;
}

bool StartedProgram::readOutputUntil(std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (read_.find(text) == std::string::npos) {
    char page[4096];
    const ssize_t n = ::read(out_, page, sizeof page);
    if (n > 0) {
      read_.append(page, static_cast<size_t>(n));
      continue;
    }
    // A terminal whose program ended answers EIO, a pipe end of file.
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || n == 0 ||
        std::chrono::steady_clock::now() >= deadline)
      return false;
    pollfd fds{out_, POLLIN, 0};
    ::poll(&fds, 1, 20);
  }
  return true;
}

void StartedProgram::closeOutputReader() { Pipe::closeEnd(out_); }

bool StartedProgram::exitsWithin(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_)
      return true;
    ::usleep(2000);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

ProgramRun StartedProgram::finish(std::chrono::milliseconds timeout) {
  ProgramRun result;
  result.launchError = launchError_;
  result.out = std::move(read_);
  if (pid_ <= 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool outOpen = out_ >= 0, errOpen = true;
  int waitStatus = 0;
  // Waits for the program to exit, not for its pipes to close: anything it
  // left running (an emulator's server, say) may hold them open.
  while (!exited_) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, &waitStatus, 0);
      exited_ = true;
      result.timedOut = true;
      break;
    }
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    ::poll(fds, 2, 20);
    if (outOpen) outOpen = drain(out_, result.out);
    if (errOpen) errOpen = drain(err_, result.err);
    if (::waitpid(pid_, &waitStatus, WNOHANG) == pid_) exited_ = true;
  }
  while (readToTheEnd_ && outOpen && std::chrono::steady_clock::now() < deadline) {
    pollfd fd = {out_, POLLIN, 0};
    ::poll(&fd, 1, 20);
    outOpen = drain(out_, result.out);
  }
  if (outOpen) drain(out_, result.out);
  if (errOpen) drain(err_, result.err);
  result.status = statusOf(waitStatus);
  result.out = normaliseNewlines(result.out);

  std::string failed;
  drain(failure_, failed);  // the write end is closed in both outcomes
  if (!failed.empty()) {
    int error = 0;
    const size_t stepLength = failed.size() >= sizeof error ? failed.size() - sizeof error : 0;
    std::memcpy(&error, failed.data() + stepLength, std::min(sizeof error, failed.size()));
    result.launchError = failed.substr(0, stepLength) + ": " + std::strerror(error);
  }
  return result;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

bool exists(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::map<std::string, std::string> treeAt(const std::string& folder) {
  std::map<std::string, std::string> items;
  if (!fs::exists(folder)) return items;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    const std::string path = entry.path().lexically_relative(folder).generic_string();
    items[path] = entry.is_symlink()     ? "->"
                  : entry.is_directory() ? "/"
                                         : readFile(entry.path().string());
  }
  return items;
}

std::string describe(const ProgramRun& run) {
  std::string text = "status " + std::to_string(run.status);
  if (run.timedOut) text += " (timed out)";
  if (!run.launchError.empty()) text += ", not started: " + run.launchError;
  return text + "\n--- stdout\n" + run.out + "--- stderr\n" + run.err + "---";
}

std::string openedLines(const std::string& archivePath, std::string_view title) {
  return "Opened " + archivePath + "\nIdentified GCF as: " + std::string(title) + "\n\n";
}

// ---------------------------------------------------------------- fixture

void ProgramTest::SetUp() {
  TempFolderTest::SetUp();
  root_ = fs::canonical(dir_).string();
}

std::string ProgramTest::at(std::string_view relative) const {
  return root_ + "/" + std::string(relative);
}

std::string ProgramTest::makeDir(std::string_view relative) const {
  std::string path = at(relative);
  fs::create_directories(path);
  return path;
}

ProgramTest::CacheState ProgramTest::stateOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {path, 0, 0};
  const auto size = static_cast<uint64_t>(info.st_size);
  // Hashing a cache of gigabytes would take longer than the test; its
  // modification time and size tell a write just as well.
  if (size > (uint64_t{64} << 20)) {
    return {path, size,
            static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(info.st_mtim.tv_nsec)};
  }
  uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (char c : readFile(path)) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
  return {path, size, hash};
}

std::string ProgramTest::writeCache(const testsupport::CacheImage& image,
                                    std::string_view relative) {
  std::string path = at(relative);
  fs::create_directories(fs::path(path).parent_path());
  EXPECT_TRUE(image.writeFile(path)) << "cannot write the cache " << path;
  std::erase_if(caches_, [&](const CacheState& cache) { return cache.path == path; });
  caches_.push_back(stateOf(path));
  return path;
}

ProgramRun ProgramTest::run(const std::vector<std::string>& args, const std::string& workingDir,
                            const RunOptions& options) {
  ProgramRun result =
      StartedProgram(args, workingDir.empty() ? root_ : workingDir, options).finish();
  EXPECT_TRUE(result.launchError.empty() && !result.timedOut) << describe(result);
  // Under an emulator standard error carries the emulator's own chatter.
  if (runsNatively()) {
    EXPECT_EQ(result.err, "") << "the program wrote to standard error";
  }
  for (const CacheState& before : caches_) {
    CacheState now = stateOf(before.path);
    EXPECT_TRUE(now.size == before.size && now.fingerprint == before.fingerprint)
        << "the cache " << before.path << " changed during the run";
  }
  return result;
}

std::vector<std::string> ProgramTest::listFolder(std::string_view relative) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(at(relative)))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vaultcat::e2e
