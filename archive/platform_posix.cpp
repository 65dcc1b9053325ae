// The platform layer on POSIX systems: the process (standard descriptors,
// signal handlers, standard output, the working directory), the mapped
// cache (mmap of a descriptor kept open) and the output file (a hidden
// temporary file beside the target, opened exclusively, put in place with
// renameat2).
//
// The signal handlers read only plain data that the normal code sets before
// the word that makes it visible, and call only write(2), unlinkat(2),
// renameat2(2), raise(3) and _exit(2).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "archive/damage_text.h"
#include "archive/mapped_file.h"
#include "archive/output_file.h"
#include "archive/platform.h"

namespace vaultcat::platform {

namespace {

char faultLine[256];
size_t faultLineLength = 0;

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Repeats `call(done)` until `length` bytes have gone through it: each call
// moves bytes from `done` on and answers how many, or -1. False if a call
// fails or moves nothing; an interrupted call is made again. Safe in a
// signal handler when `call` is.
template <class Call>
bool moveAll(size_t length, Call call) {
  for (size_t done = 0; done < length;) {
    const ssize_t n = call(done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool writeAll(int fd, std::string_view text) {
  return moveAll(text.size(),
                 [&](size_t done) { return ::write(fd, text.data() + done, text.size() - done); });
}

void changeInterruptMask(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  ::sigprocmask(how, &set, nullptr);
}

// The output being written, as far as it must be undone on an interrupt.
enum Stage : int {
  kNoOutput,   // nothing to undo
  kTemporary,  // `temporary` exists in `folder`: remove it
  kCreated,    // `target` is our new file, where there was none: remove it
  kExchanged,  // `target` is ours and `temporary` holds what it was: swap back
};
struct PendingOutput {
  std::atomic<int> stage{kNoOutput};
  int folder = -1;
  bool replacing = false;  // a file was at the target when the output was created
  char temporary[NAME_MAX + 1] = {};
  char target[NAME_MAX + 1] = {};
};
PendingOutput pendingOutput;

int exchangeNames(int folder, const char* a, const char* b) {
#ifdef RENAME_EXCHANGE
  return ::renameat2(folder, a, folder, b, RENAME_EXCHANGE);
#else
  (void)folder, (void)a, (void)b;
  errno = ENOSYS;
  return -1;
#endif
}

// Leaves the target as it was before the output was created. Also run by
// the interrupt and fault handlers, so it only calls unlinkat(2) and
// renameat2(2).
void undoPendingOutput() {
  PendingOutput& p = pendingOutput;
  switch (p.stage.load()) {
    case kTemporary:
      ::unlinkat(p.folder, p.temporary, 0);
      break;
    case kCreated:
      ::unlinkat(p.folder, p.target, 0);
      break;
    case kExchanged:
      // Only once the user's file is back at its name may ours go.
      if (exchangeNames(p.folder, p.temporary, p.target) == 0) ::unlinkat(p.folder, p.temporary, 0);
      break;
    default:
      break;
  }
  p.stage.store(kNoOutput);
}

extern "C" void onInterrupt(int signal) {
  undoPendingOutput();
  // The handler was reset to the default on entry, and the signal is
  // blocked until the handler returns: then it ends the process as it would
  // have without us, and the shell sees an interrupted command.
  ::raise(signal);
}

extern "C" void onFault(int signal, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (!isWatched(address)) {
    // Not a read of the cache: a fault of our own, which must not be
    // hidden. Returning repeats it, now with the default action.
    ::signal(signal, SIG_DFL);
    return;
  }
  // The cache shrank under the mapping or its disk failed. The lines
  // already printed stay, then one line says why the run ends.
  writeAll(STDOUT_FILENO, pendingText());
  writeAll(STDOUT_FILENO, std::string_view(faultLine, faultLineLength));
  undoPendingOutput();
  ::_exit(1);
}

// Pieces of the cache this long or longer (runs of consecutive data blocks)
// are moved inside the kernel, from the cache's descriptor to the output's:
// their bytes never enter our address space. Where the two offsets lie
// alike within a page, copy_file_range(2) copies them. Where they do not,
// it copies more slowly than a read and a write (0.70 s against 0.52 s for
// 1 GiB on ext4), and the run goes through a pipe instead: splice(2) lends
// the cache's pages to the pipe and copies them once into the output (0.45
// s, where writing from the mapping a window at a time took 0.54 s and cat
// 0.46 s). Shorter pieces, such as scattered single blocks, are read from
// the cache's descriptor into a staging buffer, each from where the cache
// holds it, and written out in one call per buffer: through the mapping,
// every page they touch would stay resident, a gigabyte for a gigabyte
// file, and letting scattered pages go costs more than reading them. The
// buffer is small enough to stay in the processor's cache between the read
// and the write: a 1 GiB file took 0.38 s through 256 KiB and 0.67 s to 1.3
// s through 1 MiB.
constexpr uint64_t kKernelCopyMin = uint64_t{256} << 10;
constexpr size_t kStagingSize = size_t{256} << 10;
constexpr size_t kPipeSize = size_t{1} << 20;  // what a user may ask for without privilege

// What copy_file_range(2) answers where it cannot copy between these two
// files at all; the bytes then go through the staging buffer.
bool kernelCopyRefused(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
         error == EBADF;
}

// Reads `length` bytes of the file `fd` from `at`; false if the file ends
// first or cannot be read.
bool readAll(int fd, uint64_t at, char* into, size_t length) {
  return moveAll(length, [&](size_t done) {
    return ::pread(fd, into + done, length - done, static_cast<off_t>(at + done));
  });
}

// The name that `path` finally leads to through symbolic links; it need
// not exist. False for a loop of links or a link that cannot be read.
bool followLinks(std::string path, std::string& followed) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in one path
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      followed = std::move(path);
      return true;
    }
    std::string target(PATH_MAX, '\0');
    ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length <= 0 || length >= PATH_MAX) return false;
    target.resize(static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    path = target[0] == '/' || slash == std::string::npos ? target
                                                          : path.substr(0, slash + 1) + target;
  }
  return false;
}

// A hidden name for the temporary file beside `target`, unlikely to be
// anybody else's: a dot, the target's name, and a tag made of the process,
// the time and a count.
void makeTemporaryName(std::string_view target, char (&name)[NAME_MAX + 1]) {
  static uint64_t count = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  uint64_t tag = (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
                 (static_cast<uint64_t>(now.tv_sec) << 20) ^ (++count * 0x9E3779B97F4A7C15u);
  tag *= 0xBF58476D1CE4E5B9u;
  std::string text = "." + std::string(target.substr(0, NAME_MAX - 20)) + ".vaultcat-";
  for (int i = 0; i < 8; ++i, tag >>= 5)
    text.push_back("abcdefghijklmnopqrstuvwxyz234567"[tag & 31]);
  std::memcpy(name, text.c_str(), text.size() + 1);
}

// The folder that the name `path` finally leads to lies in, opened, and
// that name's last part in `name`; -1 if the folder cannot be opened or the
// name cannot be a file's.
int openTargetFolder(const std::string& path, std::string& name) {
  std::string target;
  if (!followLinks(path, target)) return -1;
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : target.substr(0, slash);
  name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == ".." || name.size() > NAME_MAX) return -1;
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A new temporary file beside the pending output's target, opened
// exclusively without following links, and made what an interrupt removes;
// -1 if none can be made.
int openTemporaryFile() {
  PendingOutput& p = pendingOutput;
  for (int attempt = 0; attempt < 100; ++attempt) {
    makeTemporaryName(p.target, p.temporary);
    InterruptsHeld held;
    const int fd =
        ::openat(p.folder, p.temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) p.stage.store(kTemporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// The process

bool setUpProcess(std::string_view line) {
  bool standardOutputOpen = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) standardOutputOpen = false;
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  faultLineLength = std::min(line.size(), sizeof faultLine);
  std::memcpy(faultLine, line.data(), faultLineLength);

  // A reader that went away and a file-size limit come back as errors of
  // the write that met them, and fail the run like any other.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);

  struct sigaction action {};
  sigfillset(&action.sa_mask);
  action.sa_handler = onInterrupt;
  action.sa_flags = static_cast<int>(SA_RESETHAND);
  for (int signal : kInterrupts) {
    // An interrupt the shell told us to ignore stays ignored.
    struct sigaction before {};
    if (::sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
  action.sa_handler = nullptr;
  action.sa_sigaction = onFault;
  action.sa_flags = SA_SIGINFO;
  ::sigaction(SIGBUS, &action, nullptr);
  return standardOutputOpen;
}

void holdInterrupts() { changeInterruptMask(SIG_BLOCK); }
void releaseInterrupts() { changeInterruptMask(SIG_UNBLOCK); }
bool writeStandardOutput(std::string_view text) { return writeAll(STDOUT_FILENO, text); }

bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity) {
  struct stat info {};
  if (::fstat(static_cast<int>(handle), &info) != 0) return false;
  identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
              static_cast<uint64_t>(info.st_size),
              static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
              static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
  return true;
}

bool standardOutputFile(FileIdentity& identity) {
  struct stat info {};
  return ::fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode) &&
         identifyOpenFile(STDOUT_FILENO, identity);
}

bool changeWorkingDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0; }

// ---------------------------------------------------------------------------
// The mapped cache

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
  adopt(static_cast<const std::byte*>(view), size, fd, identity);
  return true;
}

void MappedFile::release(const std::byte* data, uint64_t size, std::intptr_t handle) {
  ::munmap(const_cast<std::byte*>(data), static_cast<size_t>(size));
  ::close(static_cast<int>(handle));
}

// ---------------------------------------------------------------------------
// The output file

std::string outputPathFor(std::string_view itemPath) {
  std::string path(itemPath);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool OutputFile::create(const std::string& path, const MappedFile* source,
                        std::span<const FileIdentity> mustNotBe) {
  discard();
  PendingOutput& p = pendingOutput;
  if (p.stage.load() != kNoOutput || p.folder >= 0) return false;  // one output at a time

  std::string name;
  const int folder = openTargetFolder(path, name);
  if (folder < 0) return false;
  struct stat info {};
  const bool exists = ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  bool refused = !exists && errno != ENOENT;
  if (exists) {
    const FileIdentity found{static_cast<uint64_t>(info.st_dev),
                             static_cast<uint64_t>(info.st_ino)};
    refused |= source != nullptr && found.sameFileAs(source->identity());
    for (const FileIdentity& other : mustNotBe) refused |= found.sameFileAs(other);
    refused |= S_ISDIR(info.st_mode) || S_ISLNK(info.st_mode);
  }
  if (!refused && exists && !S_ISREG(info.st_mode)) {
    // A device or FIFO takes the bytes directly. A FIFO that nobody reads
    // refuses a non-blocking open instead of waiting for a reader forever.
    int fd = ::openat(folder, name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    ::close(folder);
    if (fd < 0) return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    handle_ = fd;
    direct_ = true;
    source_ = source;
    return true;
  }
  // A file this process may not write is not replaced either.
  if (refused || (exists && ::faccessat(folder, name.c_str(), W_OK, AT_EACCESS) != 0)) {
    ::close(folder);
    return false;
  }

  p.folder = folder;
  p.replacing = exists;
  std::memcpy(p.target, name.c_str(), name.size() + 1);
  const int fd = openTemporaryFile();
  if (fd < 0) {
    ::close(folder);
    p.folder = -1;
    return false;
  }
  // A replaced file keeps its permission bits (but not set-user-ID and the
  // like); a new one gets what the umask allows.
  if (exists) ::fchmod(fd, info.st_mode & 0777);
  handle_ = fd;
  source_ = source;
  pending_ = true;
  return true;
}

Status OutputFile::writeAt(uint64_t offset, std::span<const ByteView> pieces) {
  if (handle_ < 0 || failed_) return fail(Status::Kind::kOutputFailed);
  if (staging_ == nullptr) staging_ = std::make_unique<char[]>(kStagingSize);
  size_t staged = 0;  // bytes in the staging buffer, which belong at `offset`
  for (const ByteView& piece : pieces) {
    uint64_t done = 0;
    if (piece.size() >= kKernelCopyMin && !sequential_) {
      if (staged > 0 && !writeStaged(offset, staged)) return fail(Status::Kind::kOutputFailed);
      offset += std::exchange(staged, size_t{0});
      if (Status status = copyInKernel(piece, offset, done); !status.ok()) return status;
      if (done == 0) {
        if (Status status = spliceInKernel(piece, offset, done); !status.ok()) return status;
      }
      offset += done;
    }
    while (done < piece.size()) {
      const size_t length =
          static_cast<size_t>(std::min<uint64_t>(piece.size() - done, kStagingSize - staged));
      if (!readCache(ByteView(piece.data() + done, length), staging_.get() + staged))
        return fail(Status::Kind::kCacheUnreadable);
      done += length;
      staged += length;
      if (staged == kStagingSize) {
        if (!writeStaged(offset, staged)) return fail(Status::Kind::kOutputFailed);
        offset += std::exchange(staged, size_t{0});
      }
    }
  }
  if (staged > 0 && !writeStaged(offset, staged)) return fail(Status::Kind::kOutputFailed);
  return {};
}

Status OutputFile::fail(Status::Kind kind) {
  failed_ = true;
  return kind == Status::Kind::kCacheUnreadable ? damage_text::cacheUnreadable() : Status{kind, {}};
}

// The cache's file offset of `piece`, if it lies in the source's mapping.
std::optional<uint64_t> OutputFile::sourceOffset(ByteView piece) const {
  if (source_ == nullptr) return std::nullopt;
  const ByteView cache = source_->bytes();
  const auto start = reinterpret_cast<uintptr_t>(cache.data());
  const auto at = reinterpret_cast<uintptr_t>(piece.data());
  if (at < start || !cache.contains(at - start, piece.size())) return std::nullopt;
  return at - start;
}

bool OutputFile::readCache(ByteView piece, char* into) const {
  if (std::optional<uint64_t> at = sourceOffset(piece))
    return readAll(static_cast<int>(source_->handle()), *at, into,
                   static_cast<size_t>(piece.size()));
  std::memcpy(into, piece.data(), static_cast<size_t>(piece.size()));
  return true;
}

Status OutputFile::copyInKernel(ByteView piece, uint64_t offset, uint64_t& done) {
  static const auto pageSize = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  std::optional<uint64_t> at = sourceOffset(piece);
  if (!at || !kernelCopy_ || (*at - offset) % pageSize != 0) return {};
  const int from = static_cast<int>(source_->handle());
  loff_t fromOffset = static_cast<loff_t>(*at);
  loff_t toOffset = static_cast<loff_t>(offset);
  while (done < piece.size()) {
    const ssize_t n = ::copy_file_range(from, &fromOffset, static_cast<int>(handle_), &toOffset,
                                        static_cast<size_t>(piece.size() - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && kernelCopyRefused(errno)) {
      kernelCopy_ = false;  // the rest goes through the staging buffer
      return {};
    }
    // Nothing copied: the cache ended early. A failure: whichever of the two
    // files can no longer be read or written.
    char probe;
    if (n == 0 || (n < 0 && !readAll(from, static_cast<uint64_t>(fromOffset), &probe, 1)))
      return fail(Status::Kind::kCacheUnreadable);
    if (n < 0) return fail(Status::Kind::kOutputFailed);
    done += static_cast<uint64_t>(n);
  }
  return {};
}

Status OutputFile::spliceInKernel(ByteView piece, uint64_t offset, uint64_t& done) {
  std::optional<uint64_t> at = sourceOffset(piece);
  if (!at || !splice_ || direct_) return {};
  if (pipe_[0] < 0) {
    if (::pipe2(pipe_, O_CLOEXEC) != 0) return refuseSplice();
    ::fcntl(pipe_[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize));  // smaller only takes more calls
  }
  while (done < piece.size()) {
    loff_t from = static_cast<loff_t>(*at + done);
    const ssize_t n =
        ::splice(static_cast<int>(source_->handle()), &from, pipe_[1], nullptr,
                 static_cast<size_t>(std::min<uint64_t>(piece.size() - done, kPipeSize)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return fail(Status::Kind::kCacheUnreadable);  // the cache ended early
    // Refused, or the cache could not be read: the staging buffer takes the
    // rest, and its reads tell which.
    if (n < 0) return refuseSplice();
    loff_t to = static_cast<loff_t>(offset + done);
    for (ssize_t left = n; left > 0;) {
      const ssize_t m =
          ::splice(pipe_[0], nullptr, static_cast<int>(handle_), &to, static_cast<size_t>(left), 0);
      if (m < 0 && errno == EINTR) continue;
      // What the pipe holds is read again from the cache.
      if (m < 0 && left == n && kernelCopyRefused(errno)) return refuseSplice();
      if (m <= 0) return fail(Status::Kind::kOutputFailed);
      left -= m;
    }
    done += static_cast<uint64_t>(n);
  }
  return {};
}

Status OutputFile::refuseSplice() {
  splice_ = false;
  for (int& end : pipe_) {
    if (end >= 0) ::close(std::exchange(end, -1));
  }
  return {};
}

bool OutputFile::writeStaged(uint64_t offset, size_t length) {
  const int fd = static_cast<int>(handle_);
  const char* from = staging_.get();
  if (!sequential_) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
    if (moveAll(length, [&](size_t done) {
          return ::pwrite(fd, from + done, length - done, static_cast<off_t>(offset + done));
        })) {
      return true;
    }
    if (errno != ESPIPE || !direct_) return false;
    sequential_ = true;
  }
  // A FIFO or terminal takes bytes only in order: a gap is sent as zeros,
  // and nothing can go back.
  static const char zeros[8192] = {};
  while (offset > written_) {
    const auto gap = static_cast<size_t>(std::min<uint64_t>(offset - written_, sizeof zeros));
    if (!writeAll(fd, std::string_view(zeros, gap))) return false;
    written_ += gap;
  }
  if (offset < written_ || !writeAll(fd, std::string_view(from, length))) return false;
  written_ += length;
  return true;
}

bool OutputFile::commit() {
  if (handle_ < 0 || failed_) return false;
  const int fd = static_cast<int>(handle_);
  if (direct_) {
    handle_ = -1;
    return ::close(fd) == 0;
  }
  PendingOutput& p = pendingOutput;
  InterruptsHeld held;
  handle_ = -1;
  if (::close(fd) != 0) return false;

  // The temporary file takes the target's place in one step. Where the
  // system can, the user's file is kept under the temporary name until
  // keep(), so that discard() can still put it back.
  if (p.replacing) {
    if (exchangeNames(p.folder, p.temporary, p.target) == 0) {
      p.stage.store(kExchanged);
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // This file system cannot swap two names: replace the file for good.
    if (::renameat(p.folder, p.temporary, p.folder, p.target) != 0) return false;
    p.stage.store(kNoOutput);
    return true;
  }
#ifdef RENAME_NOREPLACE
  if (::renameat2(p.folder, p.temporary, p.folder, p.target, RENAME_NOREPLACE) == 0) {
    p.stage.store(kCreated);
    return true;
  }
  if (errno == EEXIST && exchangeNames(p.folder, p.temporary, p.target) == 0) {
    p.stage.store(kExchanged);  // another process put a file there meanwhile
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (::renameat(p.folder, p.temporary, p.folder, p.target) != 0) return false;
  p.stage.store(kCreated);
  return true;
}

void OutputFile::keep() {
  if (!pending_) return;
  PendingOutput& p = pendingOutput;
  holdInterrupts();  // never released: the run is complete
  if (p.stage.load() == kExchanged) ::unlinkat(p.folder, p.temporary, 0);
  p.stage.store(kNoOutput);
  ::close(p.folder);
  p.folder = -1;
  pending_ = false;
}

void OutputFile::discard() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  direct_ = sequential_ = failed_ = false;
  refuseSplice();
  kernelCopy_ = splice_ = true;
  source_ = nullptr;
  written_ = 0;
  if (!pending_) return;
  PendingOutput& p = pendingOutput;
  InterruptsHeld held;
  undoPendingOutput();
  ::close(p.folder);
  p.folder = -1;
  pending_ = false;
}

}  // namespace vaultcat::platform
