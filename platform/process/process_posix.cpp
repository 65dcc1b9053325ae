// The process on POSIX systems: standard descriptors, signal handlers,
// standard output and the working directory.
//
// The handlers read only atomic words and fixed buffers that the normal code
// sets, and call only write(2), ppoll(2), mmap(2), sigaction(2),
// sigprocmask(2), signal(2), sysconf(3), sigemptyset(3), sigaddset(3),
// raise(3) and _exit(2); undoing an output is left to the normal code.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>

#include "platform/process/io_posix.h"
#include "platform/process/pending_output.h"
#include "platform/process/process.h"
#include "platform/process/process_internal.h"

namespace vaultcat::platform {

namespace {

// Every signal whose default action ends the process and that may come from
// outside: SIGKILL cannot be caught, and the faults of the program itself
// (SIGSEGV and the like) are not hidden. SIGPIPE and SIGXFSZ are errors of
// the call that meets them instead.
constexpr int kInterrupts[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,  SIGALRM,
                               SIGVTALRM, SIGPROF, SIGXCPU, SIGPWR,  SIGIO,   SIGSTKFLT};

std::atomic<int> noted{0};       // the first interrupt while an output is pending
std::atomic<uint32_t> count{0};  // and how many came
std::atomic<bool> finalText{false};
std::atomic<bool> servingAfterFaults{false};
std::atomic<void (*)(int)> diverted{nullptr};
std::atomic<bool> lost{false};  // standard output can no longer be written
sigset_t interruptSet;          // every interrupt, real-time signals too
sigset_t deliverableMask;       // the mask before holdInterruptsToTheEnd()

// Ends the process by `signal` as it would have ended without us: the
// default action, once the signal is no longer blocked.
void endBy(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  ::sigaction(signal, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::raise(signal);
  ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

extern "C" void onInterrupt(int signal) {
  // The handler never resets itself: a second interrupt in a row finds it
  // in place, and is noted like the first.
  if (void (*divert)(int) = diverted.load(); divert != nullptr) {
    int none = 0;
    noted.compare_exchange_strong(none, signal);
    divert(signal);
    return;
  }
  if (pendingOutput() == nullptr) {
    endBy(signal);  // pending until this handler returns
    return;
  }
  int none = 0;
  noted.compare_exchange_strong(none, signal);
  count.fetch_add(1);
}

extern "C" void onFault(int signal, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (!isWatched(address)) {
    // Not a read of the cache: a fault of our own, which must not be
    // hidden. Returning repeats it, now with the default action.
    ::signal(signal, SIG_DFL);
    return;
  }
  // The cache shrank under the mapping or its disk failed. With an output
  // pending, the page reads as zeros from here on, which the reader's
  // checks take as any damaged bytes, and the run, told by faulted(),
  // leaves the destination as it was before it says why it ends. A mount
  // refuses every answer from then on instead.
  static const auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  noteFault();
  if ((pendingOutput() != nullptr || servingAfterFaults.load()) &&
      ::mmap(reinterpret_cast<void*>(address & ~(pageSize - 1)), pageSize, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED)
    return;
  // Otherwise nothing is to be undone: the lines already printed stay, then
  // one line says why the run ends.
  writeFaultReport();
  ::_exit(1);
}

// Waits until standard output can take text, letting interrupts in even
// while they are held; false if one came. Standard output's writes ask
// interruption(), not mustStop(): the fault handler writes through them,
// and they are what finds standard output lost.
bool waitUntilWritable() {
  while (true) {
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    const int ready = ::ppoll(&out, 1, nullptr, finalText.load() ? &deliverableMask : nullptr);
    if (interruption() != 0) return false;
    if (ready >= 0 || errno != EINTR) return true;  // an error shows in the write
  }
}

}  // namespace

bool setUpProcess(std::string_view faultLine) {
  bool standardOutputOpen = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) standardOutputOpen = false;
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  keepFaultLine(faultLine);
  // A walk holds every folder on its way open (folder_walk.h): a tree as
  // deep as a path allows takes some two thousand descriptors, more than
  // the usual soft limit of 1,024 lets a process have.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1 << 16);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  // A reader that went away and a file-size limit come back as errors of
  // the write that met them, and fail the run like any other.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  sigemptyset(&interruptSet);
  for (int signal : kInterrupts) sigaddset(&interruptSet, signal);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) sigaddset(&interruptSet, signal);
  struct sigaction action {};
  action.sa_mask = interruptSet;
  action.sa_handler = onInterrupt;  // no SA_RESTART: a blocked call returns to be told
  for (int signal = 1; signal <= SIGRTMAX; ++signal) {
    // An interrupt the shell told us to ignore stays ignored.
    struct sigaction before {};
    if (sigismember(&interruptSet, signal) != 1 || ::sigaction(signal, nullptr, &before) != 0 ||
        before.sa_handler == SIG_IGN)
      continue;
    ::sigaction(signal, &action, nullptr);
  }
  sigfillset(&action.sa_mask);
  action.sa_sigaction = onFault;
  action.sa_flags = SA_SIGINFO;
  ::sigaction(SIGBUS, &action, nullptr);
  return standardOutputOpen;
}

int interruption() { return noted.load(); }
uint32_t interruptions() { return count.load(); }

void keepServingAfterFaults() { servingAfterFaults.store(true); }

void divertInterrupts(void (*handler)(int signal)) { diverted.store(handler); }

bool standardOutputLost() {
  if (lost.load()) return true;
  // A look is a call: five times a second is soon enough for a reader that
  // went away, and an extraction asks between every two of its steps.
  static std::chrono::steady_clock::time_point nextLook;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextLook) return false;
  nextLook = now + std::chrono::milliseconds(200);
  // A pipe whose reader went away shows an error, a terminal that hung up
  // a hang-up, before the program's text has filled its buffer to be written.
  pollfd out{STDOUT_FILENO, POLLOUT, 0};
  if (::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0) lost.store(true);
  return lost.load();
}

void endIfInterrupted() {
  if (const int signal = noted.load(); signal != 0) endBy(signal);
}

void holdInterruptsToTheEnd() {
  ::sigprocmask(SIG_BLOCK, &interruptSet, &deliverableMask);
  finalText.store(true);
}

bool writeStandardOutput(std::string_view text) {
  for (size_t done = 0; done < text.size();) {
    // Last words wait for room with interrupts let in, then go out whole.
    if (finalText.load() && !waitUntilWritable()) return false;
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      // A write that an interrupt cut short moved part of the text: the
      // rest would wait for the reader, however long it takes.
      if (done < text.size() && interruption() != 0) return false;
    } else if (n < 0 && errno == EINTR) {
      if (interruption() != 0) return false;
    } else if (n < 0 && errno == EAGAIN) {
      // Left non-blocking by whoever started us: wait for the reader.
      if (!waitUntilWritable()) return false;
    } else {
      if (n < 0 && errno == EPIPE) lost.store(true);
      return false;
    }
  }
  return true;
}

bool standardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

uint32_t terminalColumns() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

bool writeStandardError(std::string_view text) {
  return moveAll(text.size(), [&](size_t done) {
    return ::write(STDERR_FILENO, text.data() + done, text.size() - done);
  });
}

std::optional<FileIdentity> standardOutputFile() {
  struct stat info {};
  FileIdentity identity;
  if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode) ||
      !identifyOpenFile(STDOUT_FILENO, identity))
    return std::nullopt;
  return identity;
}

void runThisThreadWhenIdle() {
  // The lowest priority of the normal class, not the idle class: a thread
  // of the idle class that held a lock the others wait for (the mapping's,
  // when it faults) could keep them waiting as long as the machine is busy.
  const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, thread, 19);
#ifdef SYS_ioprio_set
  // The best-effort class (2), its lowest level (7), for the calling thread
  // (who 1, which 0), in the terms of linux/ioprio.h, which glibc does not
  // wrap.
  ::syscall(SYS_ioprio_set, 1, 0, 2 << 13 | 7);
#endif
}

bool changeWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

}  // namespace vaultcat::platform
