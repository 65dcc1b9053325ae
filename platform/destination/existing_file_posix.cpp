// An existing file on POSIX systems: openat(2), pread(2), and pwrite(2) to
// copy it.
#include <fcntl.h>

#include "platform/destination/existing_file.h"
#include "platform/process/io_posix.h"

namespace vaultcat::platform {

// Without O_NONBLOCK a FIFO put in the file's place would hold the open.
std::intptr_t ExistingFile::openToRead(At at) {
  return ::openat(folderOf(at), at.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

bool ExistingFile::readAt(std::intptr_t file, uint64_t offset, std::byte* into, size_t length) {
  return readAll(static_cast<int>(file), offset, reinterpret_cast<char*>(into), length);
}

bool ExistingFile::writeAt(std::intptr_t file, uint64_t offset, const std::byte* from,
                           size_t length) {
  return moveAll(length, [&](size_t done) {
    return ::pwrite(static_cast<int>(file), from + done, length - done,
                    static_cast<off_t>(offset + done));
  });
}

void ExistingFile::closeFile(std::intptr_t file) { ::close(static_cast<int>(file)); }

}  // namespace vaultcat::platform
