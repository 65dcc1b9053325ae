// The journal's file on POSIX systems: write(2), fdatasync(2), read(2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/destination/journal.h"
#include "platform/process/io_posix.h"

namespace vaultcat::platform {

void Journal::close() {
  if (file_ != -1) ::close(static_cast<int>(file_));
  file_ = -1;
  plan_ = nullptr;
}

bool Journal::put(std::string_view bytes) {
  const int fd = static_cast<int>(file_);
  return moveAll(bytes.size(), [&](size_t done) {
    return ::write(fd, bytes.data() + done, bytes.size() - done);
  });
}

bool Journal::sync() { return !failed_ && ::fdatasync(static_cast<int>(file_)) == 0; }

std::optional<std::string> Journal::readWhole(At at) {
  const int fd = ::openat(folderOf(at), at.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<uint64_t>(info.st_size) <= kMostBytes) {
    bytes.emplace(static_cast<size_t>(info.st_size), '\0');
    if (!readAll(fd, 0, bytes->data(), bytes->size())) bytes.reset();
  }
  ::close(fd);
  return bytes;
}

}  // namespace vaultcat::platform
