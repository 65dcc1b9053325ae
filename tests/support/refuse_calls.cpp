// Loaded into the program under test with LD_PRELOAD, it makes the system
// refuse what some file systems refuse, and fail what fails rarely, so that
// the program's other ways can be tried. VAULTCAT_REFUSE lists, by comma:
//   exchange   renameat2() knows no RENAME_EXCHANGE (EINVAL)
//   noreplace  renameat2() knows no RENAME_NOREPLACE (EINVAL)
//   link       linkat() is not permitted (EPERM), as where there are no hard links
//   success    the write of "Success!" to standard output fails (EIO)
// and, by a seccomp filter set before the program starts, as a container
// or a kernel without io_uring would:
//   uring-setup  io_uring_setup() is refused (ENOSYS): no ring can be made
//   uring-enter  io_uring_enter() is refused (EPERM): a ring is made, and
//                using it is refused
//   uring-kill   io_uring_enter() ends the process (SIGSYS): whether the
//                program uses a ring at all
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool refused(const char* what) {
  const char* list = getenv("VAULTCAT_REFUSE");
  return list != nullptr && strstr(list, what) != nullptr;
}

template <class Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
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

}  // namespace

extern "C" int renameat2(int from, const char* a, int to, const char* b, unsigned flags) {
  if (((flags & RENAME_EXCHANGE) && refused("exchange")) ||
      ((flags & RENAME_NOREPLACE) && refused("noreplace"))) {
    errno = EINVAL;
    return -1;
  }
  return next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(from, a, to, b,
                                                                                  flags);
}

extern "C" int linkat(int from, const char* a, int to, const char* b, int flags) {
  if (refused("link")) {
    errno = EPERM;
    return -1;
  }
  return next<int (*)(int, const char*, int, const char*, int)>("linkat")(from, a, to, b, flags);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
  if (fd == STDOUT_FILENO && memmem(buffer, size, "Success!", 8) != nullptr && refused("success")) {
    errno = EIO;
    return -1;
  }
  return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, buffer, size);
}
