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
  held_.clear();
}

bool Journal::write() {
  const int fd = static_cast<int>(file_);
  failed_ = failed_ || fd < 0 || !moveAll(held_.size(), [&](size_t done) {
              return ::write(fd, held_.data() + done, held_.size() - done);
            });
  held_.clear();
  return !failed_;
}

bool Journal::sync() { return !failed_ && ::fdatasync(static_cast<int>(file_)) == 0; }

std::optional<std::string> Journal::readWhole(At at) {
  const int fd = ::openat(folderOf(at), at.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    bytes.emplace(static_cast<size_t>(info.st_size), '\0');
    if (!readAll(fd, 0, bytes->data(), bytes->size())) bytes.reset();
  }
  ::close(fd);
  return bytes;
}

}  // namespace vaultcat::platform
