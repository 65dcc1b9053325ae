// The process on POSIX systems: standard descriptors, signal handlers,
// standard output and the working directory.
//
// The signal handlers read only plain data that the normal code sets before
// the word that makes it visible, and call only write(2), unlinkat(2),
// renameat2(2), signal(2), raise(3) and _exit(2).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/io_posix.h"
#include "platform/platform_internal.h"
#include "platform/process.h"

namespace vaultcat::platform {

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void changeInterruptMask(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  ::sigprocmask(how, &set, nullptr);
}

extern "C" void onInterrupt(int signal) {
  undoPendingOutput();
  // The handler was reset to the default on entry, and the signal is
  // blocked until the handler returns: then it ends the process as it would
  // have without us, and the shell sees an interrupted command.
  ::raise(signal);
}

extern "C" void onFault(int signal, siginfo_t* info, void*) {
  if (!isWatched(reinterpret_cast<uintptr_t>(info->si_addr))) {
    // Not a read of the cache: a fault of our own, which must not be
    // hidden. Returning repeats it, now with the default action.
    ::signal(signal, SIG_DFL);
    return;
  }
  // The cache shrank under the mapping or its disk failed. The lines
  // already printed stay, then one line says why the run ends.
  writeFaultReport();
  undoPendingOutput();
  ::_exit(1);
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

  // A reader that went away and a file-size limit come back as errors of
  // the write that met them, and fail the run like any other.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  struct sigaction action {};
  sigfillset(&action.sa_mask);
  action.sa_handler = onInterrupt;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  for (int signal : kInterrupts) {
    // An interrupt the shell told us to ignore stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
  action.sa_handler = nullptr;
  action.sa_sigaction = onFault;
  action.sa_flags = SA_SIGINFO;
  ::sigaction(SIGBUS, &action, nullptr);
  return standardOutputOpen;
}

void holdInterrupts() { changeInterruptMask(SIG_BLOCK); }
void releaseInterrupts() { changeInterruptMask(SIG_UNBLOCK); }
bool writeStandardOutput(std::string_view text) { return writeAll(STDOUT_FILENO, text); }

std::optional<FileIdentity> standardOutputFile() {
  struct stat info {};
  FileIdentity identity;
  if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode) ||
      !identifyOpenFile(STDOUT_FILENO, identity))
    return std::nullopt;
  return identity;
}

bool changeWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

}  // namespace vaultcat::platform
