// The session of a mount on POSIX systems, through libfuse 3: mounted, its
// requests served by libfuse's multi-threaded loop until it is unmounted or
// an interrupt comes, then unmounted.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "platform/mount/mount_server_posix.h"
#include "platform/process/process_internal.h"

namespace vaultcat::platform {

std::optional<MountOutcome> whyCannotMount() { return std::nullopt; }

namespace {

// What libfuse last said, for a failure to mount.
char lastWords[512];
extern "C" void keepWords(fuse_log_level, const char* format, va_list args) {
  std::vsnprintf(lastWords, sizeof lastWords, format, args);
}

std::atomic<fuse_session*> served{nullptr};
// Ends the loop, from a signal handler: its thread's wait is cut short.
extern "C" void endServing(int) {
  if (fuse_session* session = served.load()) fuse_session_exit(session);
}

// Serves until the mount ends, and starts the tree's own work (at once, or
// once `callerGone` ends).
void serve(MountServer& server, fuse_session* session, int callerGone) {
  // The tree's own threads leave interrupts to the loop's threads, whose
  // waits an interrupt cuts short: in one of the tree's, the loop would
  // go on until the next request came.
  sigset_t interrupts, before;
  sigfillset(&interrupts);
  sigdelset(&interrupts, SIGBUS);
  sigdelset(&interrupts, SIGSEGV);
  ::pthread_sigmask(SIG_BLOCK, &interrupts, &before);
  std::thread waiter;
  if (callerGone < 0) {
    server.tree.serving();
  } else {
    waiter = std::thread([&server, callerGone] {
      char byte;
      ssize_t n = 0;
      do {
        n = ::read(callerGone, &byte, 1);
      } while (n < 0 && errno == EINTR);
      ::close(callerGone);
      server.tree.serving();
    });
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_session_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);
  if (waiter.joinable()) waiter.join();
  server.tree.finish();
}

}  // namespace

MountOutcome mountAndServe(MountServer& server, const std::string& point,
                           const std::string& options, int report, int callerGone,
                           std::string& why) {
  lastWords[0] = '\0';
  fuse_set_log_func(keepWords);
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  for (const char* word : {"vaultcat", "-o", options.c_str()}) fuse_opt_add_arg(&args, word);
  const fuse_lowlevel_ops& handlers = requestHandlers();
  fuse_session* session = fuse_session_new(&args, &handlers, sizeof handlers, &server);
  fuse_opt_free_args(&args);
  // From before the mount is in place to after it is gone, an interrupt
  // ends the loop rather than the process.
  served.store(session);
  divertInterrupts(endServing);
  keepServingAfterFaults();
  const bool mounted = session != nullptr && fuse_session_mount(session, point.c_str()) == 0;
  if (report >= 0) {
    const std::string said = mounted ? "y" : "n" + std::string(lastWords);
    (void)!::write(report, said.data(), said.size());
    ::close(report);
  }
  if (!mounted) {
    divertInterrupts(nullptr);
    served.store(nullptr);
    if (session != nullptr) fuse_session_destroy(session);
    why = lastWords;
    return MountOutcome::kFailed;
  }
  serve(server, session, callerGone);
  fuse_session_unmount(session);
  divertInterrupts(nullptr);
  served.store(nullptr);
  fuse_session_destroy(session);
  return MountOutcome::kServed;
}

}  // namespace vaultcat::platform
