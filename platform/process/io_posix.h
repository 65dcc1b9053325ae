// Reads and writes on POSIX descriptors that may come back short or
// interrupted, and what a descriptor's file is: for the platform's own
// sources.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/process/file_identity.h"
#include "platform/process/process.h"

namespace vaultcat::platform {

// Repeats `call(done)` until `length` bytes have gone through it: each call
// moves bytes from `done` on and answers how many, or -1. False if a call
// fails or moves nothing, or an interrupt came that the run must end by,
// whether it cut a call short before or after it moved bytes; a call cut
// short otherwise is made again. Safe in a signal handler when `call` is:
// so it asks interruption(), an atomic word, not mustStop(), which looks at
// standard output. A caller that may stop tells a stop from a failure by
// asking mustStop() itself once this has answered false.
template <class Call>
bool moveAll(size_t length, Call call) {
  for (size_t done = 0; done < length;) {
    const ssize_t n = call(done);
    if (n < 0 && errno == EINTR && interruption() == 0) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
    if (done < length && interruption() != 0) return false;
  }
  return true;
}

// Reads `length` bytes of the file `fd` from `at`; false if the file ends
// first or cannot be read.
inline bool readAll(int fd, uint64_t at, char* into, size_t length) {
  return moveAll(length, [&](size_t done) {
    return ::pread(fd, into + done, length - done, static_cast<off_t>(at + done));
  });
}

// The identity of `name` in the folder `folder` (or, for "", of the open
// file `folder` itself), never through a link, and if asked all statx(2)
// tells of it; false if nothing is there.
bool describeAt(int folder, const char* name, FileIdentity& identity,
                struct statx* described = nullptr);

}  // namespace vaultcat::platform
