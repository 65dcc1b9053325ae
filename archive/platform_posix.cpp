// The platform interface on POSIX systems: mmap, chdir and pwritev.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <vector>

#include "archive/platform.h"

namespace vaultcat::platform {

namespace {

// The files this process has mapped, by device and inode. Truncating a
// mapped file pulls its bytes from under the reader, whose next look at
// them dies of SIGBUS, and destroys the cache; so an output file may never
// be one of these. (On Windows the system itself refuses.) One thread.
struct MappedIdentity {
  const std::byte* view;
  dev_t device;
  ino_t inode;
};
std::vector<MappedIdentity>& mappedFiles() {
  static std::vector<MappedIdentity> files;
  return files;
}
bool isMappedFile(const struct stat& info) {
  for (const MappedIdentity& file : mappedFiles()) {
    if (file.device == info.st_dev && file.inode == info.st_ino) return true;
  }
  return false;
}

// Maps the pages under `bytes` into the process in one call, where the
// system can, so that copying them does not fault them in one at a time.
// Only a hint: a failure changes nothing.
void populateForReading(ByteView bytes) {
#ifdef MADV_POPULATE_READ
  static const auto pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<uintptr_t>(bytes.data());
  const uintptr_t pageStart = start & ~(pageSize - 1);
  const size_t length = static_cast<size_t>(bytes.size()) + (start - pageStart);
  ::madvise(reinterpret_cast<void*>(pageStart), length, MADV_POPULATE_READ);
#else
  (void)bytes;
#endif
}

}  // namespace

bool MappedFile::map(const std::string& path) {
  unmap();
  // O_NONBLOCK keeps a FIFO from blocking the open; only regular files pass
  // the check below anyway.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
    ::close(fd);
    return false;
  }
  auto size = static_cast<uint64_t>(info.st_size);
  if (size > SIZE_MAX) {
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  void* view = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
  // The view stays usable without the descriptor.
  ::close(fd);
  if (view == MAP_FAILED) return false;
  ::madvise(view, static_cast<size_t>(size), MADV_SEQUENTIAL);
  data_ = static_cast<const std::byte*>(view);
  size_ = size;
  mappedFiles().push_back({data_, info.st_dev, info.st_ino});
  return true;
}

void MappedFile::unmap() {
  if (data_ == nullptr) return;
  std::erase_if(mappedFiles(), [this](const MappedIdentity& file) { return file.view == data_; });
  ::munmap(const_cast<std::byte*>(data_), static_cast<size_t>(size_));
  data_ = nullptr;
  size_ = 0;
}

bool changeWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::string outputPathFor(std::string_view itemPath) {
  std::string path(itemPath);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool OutputFile::create(const std::string& path) {
  if (handle_ >= 0) discard();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // Truncated only once it is known not to be a mapped file; a device has
  // nothing to truncate, and neither has a file just created. Truncating an
  // empty file is not free: ext4 then flushes the whole file on close, which
  // took half a second for a 1 GiB extraction.
  struct stat info {};
  if (::fstat(fd, &info) != 0 || isMappedFile(info) ||
      (S_ISREG(info.st_mode) && info.st_size > 0 && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    return false;
  }
  path_ = path;
  handle_ = fd;
  failed_ = false;
  return true;
}

bool OutputFile::writeAt(uint64_t offset, std::span<const ByteView> pieces) {
  if (handle_ < 0 || failed_) return false;
  int fd = static_cast<int>(handle_);
  // Gathered writes straight from the mapping, at most IOV_MAX pieces and
  // kMaxBytesPerCall bytes a call; a short write resumes where it stopped.
  // The byte limit is there for speed: copying a 1 GiB file on Linux, calls
  // of 128 KiB took less than half the time of calls of 8 MiB gathered from
  // scattered blocks, and less time than a single call for a whole run.
  constexpr size_t kMaxPieces = IOV_MAX < 1024 ? IOV_MAX : 1024;
  constexpr size_t kMaxBytesPerCall = size_t{128} << 10;
  // Long pieces (runs of consecutive blocks) are mapped in a window at a
  // time ahead of the copy; where the page cache holds the file in small
  // folios that took a fifth off a contiguous 1 GiB extraction. Single
  // scattered blocks are not worth a call each.
  constexpr size_t kPopulateMinBytes = size_t{64} << 10;
  constexpr size_t kPopulateWindow = size_t{4} << 20;
  size_t populatedPiece = pieces.size();   // the piece mapped in last,
  const std::byte* populatedEnd = nullptr;  // up to here
  iovec vectors[kMaxPieces];
  size_t next = 0;
  size_t skip = 0;  // bytes of pieces[next] already written
  while (next < pieces.size()) {
    size_t count = 0;
    size_t bytes = 0;
    for (size_t i = next; i < pieces.size() && count < kMaxPieces && bytes < kMaxBytesPerCall;
         ++i, ++count) {
      size_t start = i == next ? skip : 0;
      size_t left = static_cast<size_t>(pieces[i].size()) - start;
      size_t length = std::min(left, kMaxBytesPerCall - bytes);
      const std::byte* from = pieces[i].data() + start;
      if (left >= kPopulateMinBytes && (i != populatedPiece || from + length > populatedEnd)) {
        populatedPiece = i;
        populatedEnd = from + std::min(left, kPopulateWindow);
        populateForReading(ByteView(from, static_cast<uint64_t>(populatedEnd - from)));
      }
      vectors[count].iov_base = const_cast<std::byte*>(from);
      vectors[count].iov_len = length;
      bytes += length;
    }
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      failed_ = true;
      return false;
    }
    ssize_t written = ::pwritev(fd, vectors, static_cast<int>(count), static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      bool anythingLeft = false;
      for (size_t i = 0; i < count; ++i) anythingLeft |= vectors[i].iov_len > 0;
      if (!anythingLeft) return true;
      failed_ = true;
      return false;
    }
    auto done = static_cast<size_t>(written);
    offset += done;
    while (next < pieces.size() && done >= pieces[next].size() - skip) {
      done -= static_cast<size_t>(pieces[next].size()) - skip;
      skip = 0;
      ++next;
    }
    skip += done;
  }
  return true;
}

bool OutputFile::close() {
  if (handle_ < 0) return !failed_;
  int result = ::close(static_cast<int>(handle_));
  handle_ = -1;
  return result == 0 && !failed_;
}

void OutputFile::discard() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace vaultcat::platform
