// The source on POSIX systems: mmap of a descriptor kept open, whose pieces
// are read with pread(2): through the mapping, every page a piece touches
// would stay resident, a gigabyte for a gigabyte file, and letting
// scattered pages go costs more than reading them.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/process/io_posix.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

bool SourceFile::map(const std::string& path) {
  close();
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
  keep(static_cast<const std::byte*>(view), size, fd, identity);
  return true;
}

std::optional<std::span<const std::byte>> SourceFile::readFile(Piece piece,
                                                               std::byte* scratch) const {
  const auto length = static_cast<size_t>(piece.length);
  if (!readAll(static_cast<int>(handle_), piece.offset, reinterpret_cast<char*>(scratch), length))
    return std::nullopt;
  return std::span<const std::byte>(scratch, length);
}

bool SourceFile::resident(Piece piece) const {
  static const auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  if (handle_ == -1 || piece.offset >= size_) return true;
  const auto page = reinterpret_cast<uintptr_t>(data_ + piece.offset) & ~(pageSize - 1);
  unsigned char in = 0;
  return ::mincore(reinterpret_cast<void*>(page), pageSize, &in) == 0 && (in & 1) != 0;
}

void SourceFile::forgetPages() const {
  // The mapping is never written, so its pages only go back to the file's
  // cache.
  if (handle_ != -1)
    ::madvise(const_cast<std::byte*>(data_), static_cast<size_t>(size_), MADV_DONTNEED);
}

void SourceFile::release(const std::byte* data, uint64_t size, std::intptr_t handle) {
  ::munmap(const_cast<std::byte*>(data), static_cast<size_t>(size));
  ::close(static_cast<int>(handle));
}

}  // namespace vaultcat::platform
