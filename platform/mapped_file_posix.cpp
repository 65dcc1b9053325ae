// The mapped cache on POSIX systems: mmap of a descriptor kept open.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/mapped_file.h"
#include "platform/platform_internal.h"

namespace vaultcat::platform {

bool MappedFile::map(const std::string& path) {
  unmap();
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files pass
  // the check below anyway.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  FileIdentity identity;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > SIZE_MAX || !identifyOpenFile(fd, identity)) {
    ::close(fd);
    return false;
  }
  const auto size = static_cast<size_t>(info.st_size);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  ::madvise(view, size, MADV_SEQUENTIAL);
  hold(static_cast<const std::byte*>(view), size, fd, identity);
  return true;
}

void MappedFile::forgetPages() const {
  // The mapping is never written, so its pages only go back to the file's
  // cache.
  if (data_ != nullptr)
    ::madvise(const_cast<std::byte*>(data_), static_cast<size_t>(size_), MADV_DONTNEED);
}

void MappedFile::release(const std::byte* data, uint64_t size, std::intptr_t handle) {
  ::munmap(const_cast<std::byte*>(data), static_cast<size_t>(size));
  ::close(static_cast<int>(handle));
}

}  // namespace vaultcat::platform
