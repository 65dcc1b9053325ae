// The output file on POSIX systems: a hidden temporary file beside the
// target, opened exclusively, put in place with renameat2(2).
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/kernel_copy_posix.h"
#include "platform/output_file.h"
#include "platform/platform_internal.h"

namespace vaultcat::platform {

struct OutputFile::Open {
  Open(int file, const MappedFile* source) : fd(file), copy(file, source) {}
  ~Open() {
    if (fd >= 0) ::close(fd);
  }
  // Closes the file; false if what was written did not all reach it.
  bool close() { return ::close(std::exchange(fd, -1)) == 0; }
  int fd;
  KernelCopy copy;
  bool failed = false;  // a write went wrong since create()
};

namespace {

// The output being written, as far as it must be undone. The signal
// handlers read it, so names are kept in fixed buffers, relative to an open
// folder.
enum Stage : int {
  kNothing,    // nothing to undo
  kTemporary,  // `temporary` exists in `folder`: remove it
  kCreated,    // `target` is our new file, where there was none: remove it
  kExchanged,  // `target` is ours and `temporary` holds what it was: swap back
};
struct UndoRecord {
  std::atomic<int> stage{kNothing};
  int folder = -1;
  bool replacing = false;  // a file was at the target when the output was created
  char temporary[NAME_MAX + 1] = {};
  char target[NAME_MAX + 1] = {};
};
UndoRecord undo;

int exchangeNames(int folder, const char* a, const char* b) {
#ifdef RENAME_EXCHANGE
  return ::renameat2(folder, a, folder, b, RENAME_EXCHANGE);
#else
  (void)folder, (void)a, (void)b;
  errno = ENOSYS;
  return -1;
#endif
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

// A new temporary file beside the target, opened exclusively without
// following links, and made what an interrupt removes; -1 if none can be
// made.
int openTemporaryFile() {
  static uint64_t count = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t seed =
        (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
        (static_cast<uint64_t>(now.tv_sec) << 20) ^ (++count * 0x9E3779B97F4A7C15u);
    const std::string name = temporaryName(undo.target, seed, NAME_MAX - 20);
    std::memcpy(undo.temporary, name.c_str(), name.size() + 1);
    InterruptsHeld held;
    const int fd = ::openat(undo.folder, undo.temporary,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) undo.stage.store(kTemporary);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Whether the thing at `name` in `folder` may be replaced: nothing, or a
// regular file this process may write that is none of `protectedFiles`.
// Devices, FIFOs and folders are never outputs: a failed run could not
// leave them as they were.
bool mayReplace(int folder, const std::string& name, std::span<const FileIdentity> protectedFiles,
                struct stat& info, bool& exists) {
  exists = ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists) return errno == ENOENT;
  const FileIdentity found{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  return S_ISREG(info.st_mode) && !isOneOf(found, protectedFiles) &&
         ::faccessat(folder, name.c_str(), W_OK, AT_EACCESS) == 0;
}

}  // namespace

void undoPendingOutput() {
  switch (undo.stage.load()) {
    case kTemporary:
      ::unlinkat(undo.folder, undo.temporary, 0);
      break;
    case kCreated:
      ::unlinkat(undo.folder, undo.target, 0);
      break;
    case kExchanged:
      // Only once the user's file is back at its name may ours go.
      if (exchangeNames(undo.folder, undo.temporary, undo.target) == 0)
        ::unlinkat(undo.folder, undo.temporary, 0);
      break;
    default:
      break;
  }
  undo.stage.store(kNothing);
}

// Both separators reach the same folder: '\' becomes '/'.
std::string outputPathFor(std::string_view itemPath) {
  std::string path(itemPath);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& path, const MappedFile* source,
                        std::span<const FileIdentity> protectedFiles) {
  discard();
  if (undo.stage.load() != kNothing || undo.folder >= 0) return false;  // one output at a time
  std::string name;
  const int folder = openTargetFolder(path, name);
  if (folder < 0) return false;
  struct stat info {};
  bool exists = false;
  if (!mayReplace(folder, name, protectedFiles, info, exists)) {
    ::close(folder);
    return false;
  }
  undo.folder = folder;
  undo.replacing = exists;
  std::memcpy(undo.target, name.c_str(), name.size() + 1);
  const int fd = openTemporaryFile();
  if (fd < 0) {
    ::close(folder);
    undo.folder = -1;
    return false;
  }
  // A replaced file keeps its permission bits (but not set-user-ID and the
  // like); a new one gets what the umask allows.
  if (exists) ::fchmod(fd, info.st_mode & 0777);
  open_ = std::make_unique<Open>(fd, source);
  undoable_ = true;
  return true;
}

WriteStatus OutputFile::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (open_ == nullptr || open_->failed) return {WriteStatus::Kind::kOutputFailed, 0};
  WriteStatus status = open_->copy.writeAt(offset, pieces);
  open_->failed = !status.ok();
  return status;
}

bool OutputFile::commit() {
  if (open_ == nullptr || open_->failed) return false;
  InterruptsHeld held;
  const bool closed = open_->close();
  open_.reset();
  if (!closed) return false;

  // The temporary file takes the target's place in one step. Where the
  // system can, the user's file is kept under the temporary name until
  // keep(), so that discard() can still put it back.
  if (undo.replacing) {
    if (exchangeNames(undo.folder, undo.temporary, undo.target) == 0) {
      undo.stage.store(kExchanged);
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS) return false;
    // This file system cannot swap two names: replace the file for good.
    if (::renameat(undo.folder, undo.temporary, undo.folder, undo.target) != 0) return false;
    undo.stage.store(kNothing);
    return true;
  }
#ifdef RENAME_NOREPLACE
  if (::renameat2(undo.folder, undo.temporary, undo.folder, undo.target, RENAME_NOREPLACE) == 0) {
    undo.stage.store(kCreated);
    return true;
  }
  if (errno == EEXIST && exchangeNames(undo.folder, undo.temporary, undo.target) == 0) {
    undo.stage.store(kExchanged);  // another process put a file there meanwhile
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  if (::renameat(undo.folder, undo.temporary, undo.folder, undo.target) != 0) return false;
  undo.stage.store(kCreated);
  return true;
}

void OutputFile::keep() {
  if (!undoable_) return;
  holdInterrupts();  // never released: the run is complete
  if (undo.stage.load() == kExchanged) ::unlinkat(undo.folder, undo.temporary, 0);
  undo.stage.store(kNothing);
  ::close(undo.folder);
  undo.folder = -1;
  undoable_ = false;
}

void OutputFile::discard() {
  open_.reset();
  if (!undoable_) return;
  InterruptsHeld held;
  undoPendingOutput();
  ::close(undo.folder);
  undo.folder = -1;
  undoable_ = false;
}

}  // namespace vaultcat::platform
