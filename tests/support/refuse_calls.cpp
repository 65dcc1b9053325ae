// Loaded into the program under test with LD_PRELOAD, it makes the system
// refuse what some file systems refuse, and fail what fails rarely, so that
// the program's other ways can be tried. VAULTCAT_REFUSE lists, by comma:
//   exchange   renameat2() knows no RENAME_EXCHANGE (EINVAL)
//   noreplace  renameat2() knows no RENAME_NOREPLACE (EINVAL)
//   link       linkat() is not permitted (EPERM), as where there are no hard links
//   aside      renameat2() may not move a file of the user's to a hidden name of
//              ours (EPERM), so that nothing can keep a file that is replaced
//   success    the write of "Success!" to standard output fails (EIO)
//   late       ... and waits a second first, as a slow terminal might
//   sync       fdatasync(), fsync() and syncfs() fail (EIO), as on a failing disk
//   slow       pwrite() waits a twentieth of a second first, as a slow disk might
//   copy       copy_file_range() cannot copy between the two files
//   topipe     splice() cannot move the cache's bytes into a pipe
//   frompipe   splice() cannot move a pipe's bytes into the output
// These three fail with EINVAL, or with EXDEV, ENOSYS or EOPNOTSUPP where the
// list also holds that name, as the kernels and file systems that cannot do
// them answer.
// Also, by a seccomp filter set before the program starts, as a container
// or a kernel without io_uring would:
//   uring-setup  io_uring_setup() is refused (ENOSYS): no ring can be made
//   uring-enter  io_uring_enter() is refused (EPERM): a ring is made, and
//                using it is refused
//   uring-kill   io_uring_enter() ends the process (SIGSYS): whether the
//                program uses a ring at all
// With VAULTCAT_KILL_AFTER_MOVE=n the program is killed (SIGKILL) once its
// n-th renameat2() is made, or before the first for 0.
// With VAULTCAT_CALLS=file, each call that syncs or moves a name and that
// succeeds is added to the file as a line, in the order they were made:
//   sync PATH            fdatasync() or fsync() of the file or folder at PATH
//   syncfs PATH          syncfs() of the file system PATH is on
//   move FROM TO FLAGS   renameat2() or renameat() (FLAGS 0)
//   link FROM TO         linkat()
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace {

bool refused(const char* what) {
  const char* list = getenv("VAULTCAT_REFUSE");
  return list != nullptr && strstr(list, what) != nullptr;
}

template <class Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The path of `name` in the folder `fd`, as /proc tells it.
std::string pathOf(int fd, const char* name) {
  char folder[4096];
  const std::string link =
      fd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(link.c_str(), folder, sizeof folder);
  return std::string(folder, length > 0 ? static_cast<size_t>(length) : 0) + "/" + name;
}

// Whether a path is one of the hidden names the program keeps its own in.
bool isOurs(const std::string& path) { return path.find(".vaultcat-") != std::string::npos; }

// The path of the open file `fd`.
std::string pathOf(int fd) {
  char path[4096];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

bool noting() { return getenv("VAULTCAT_CALLS") != nullptr; }

// Adds `line` to the file VAULTCAT_CALLS names.
void note(const std::string& line) {
  const char* calls = getenv("VAULTCAT_CALLS");
  if (calls == nullptr) return;
  const int fd = open(calls, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string text = line + "\n";
  (void)!syscall(SYS_write, fd, text.data(), text.size());
  close(fd);
}

// Notes the call `what` of the file `fd` where it succeeded.
int noted(int result, const char* what, int fd) {
  if (result == 0 && noting()) note(std::string(what) + " " + pathOf(fd));
  return result;
}

// Kills the program once `moves` names are moved.
void killAfter(int moves) {
  const char* at = getenv("VAULTCAT_KILL_AFTER_MOVE");
  if (at != nullptr && atoi(at) == moves) kill(getpid(), SIGKILL);
}

int fail(int error) {
  errno = error;
  return -1;
}

__attribute__((constructor)) void refuseRing() {
  unsigned call = 0, action = 0;
  if (refused("uring-setup")) {
    call = __NR_io_uring_setup;
    action = SECCOMP_RET_ERRNO | ENOSYS;
  } else if (refused("uring-enter")) {
    call = __NR_io_uring_enter;
    action = SECCOMP_RET_ERRNO | EPERM;
  } else if (refused("uring-kill")) {
    call = __NR_io_uring_enter;
    action = SECCOMP_RET_KILL_PROCESS;
  } else {
    return;
  }
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, action),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{sizeof filter / sizeof filter[0], filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
    abort();
}

int copyRefusal() {
  return refused("EXDEV")        ? EXDEV
         : refused("ENOSYS")     ? ENOSYS
         : refused("EOPNOTSUPP") ? EOPNOTSUPP
                                 : EINVAL;
}

}  // namespace

extern "C" int renameat2(int from, const char* a, int to, const char* b, unsigned flags) {
  static int moves = 0;
  if (moves == 0) killAfter(0);
  if (((flags & RENAME_EXCHANGE) && refused("exchange")) ||
      ((flags & RENAME_NOREPLACE) && refused("noreplace")))
    return fail(EINVAL);
  if (refused("aside") && !isOurs(pathOf(from, a)) && isOurs(pathOf(to, b))) return fail(EPERM);
  const std::string moving = noting() ? pathOf(from, a) + " " + pathOf(to, b) : "";
  const int moved = next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      from, a, to, b, flags);
  if (moved == 0) note("move " + moving + " " + std::to_string(flags));
  killAfter(++moves);
  return moved;
}

extern "C" int renameat(int from, const char* a, int to, const char* b) {
  const std::string moving = noting() ? pathOf(from, a) + " " + pathOf(to, b) : "";
  const int moved = next<int (*)(int, const char*, int, const char*)>("renameat")(from, a, to, b);
  if (moved == 0) note("move " + moving + " 0");
  return moved;
}

extern "C" int fdatasync(int fd) {
  return refused("sync") ? fail(EIO) : noted(next<int (*)(int)>("fdatasync")(fd), "sync", fd);
}
extern "C" int fsync(int fd) {
  return refused("sync") ? fail(EIO) : noted(next<int (*)(int)>("fsync")(fd), "sync", fd);
}
extern "C" int syncfs(int fd) {
  return refused("sync") ? fail(EIO) : noted(next<int (*)(int)>("syncfs")(fd), "syncfs", fd);
}

extern "C" int linkat(int from, const char* a, int to, const char* b, int flags) {
  if (refused("link")) return fail(EPERM);
  const std::string linking = noting() ? pathOf(from, a) + " " + pathOf(to, b) : "";
  const int linked =
      next<int (*)(int, const char*, int, const char*, int)>("linkat")(from, a, to, b, flags);
  if (linked == 0) note("link " + linking);
  return linked;
}

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
  if (fd == STDOUT_FILENO && memmem(buffer, size, "Success!", 8) != nullptr && refused("success")) {
    if (refused("late")) sleep(1);
    return fail(EIO);
  }
  return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, size);
}

extern "C" ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  if (refused("slow")) usleep(50000);
  return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buffer, size, offset);
}

extern "C" ssize_t copy_file_range(int from, off64_t* fromOffset, int to, off64_t* toOffset,
                                   size_t size, unsigned flags) {
  if (refused("copy")) return fail(copyRefusal());
  return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range")(
      from, fromOffset, to, toOffset, size, flags);
}

// Into a pipe no offset is given for it, and out of one none for the pipe.
extern "C" ssize_t splice(int from, off64_t* fromOffset, int to, off64_t* toOffset, size_t size,
                          unsigned flags) {
  if ((toOffset == nullptr && refused("topipe")) || (fromOffset == nullptr && refused("frompipe")))
    return fail(copyRefusal());
  return next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("splice")(
      from, fromOffset, to, toOffset, size, flags);
}
