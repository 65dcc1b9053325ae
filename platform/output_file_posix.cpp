// The output file on POSIX systems: a hidden temporary file beside the
// target, opened exclusively, put in place as placement_posix.h says.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/kernel_copy_posix.h"
#include "platform/output_file.h"
#include "platform/placement_posix.h"
#include "platform/platform_internal.h"
#include "platform/process.h"

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

// The output being written, as far as it must be undone: names relative to
// an open folder.
struct UndoRecord final : PendingOutput {
  void undo() override {
    if (!created) return;
    // Only once the user's file is back at its name may ours go.
    if (takeBack(placement, {folder, temporary}, {folder, target}, {folder, backup}))
      ::unlinkat(folder, temporary, 0);
    created = false;
  }
  bool created = false;  // the temporary file exists
  Placement placement = Placement::kNone;
  int folder = -1;
  bool replacing = false;  // a file was at the target when the output was created
  char temporary[NAME_MAX + 1] = {};
  char backup[NAME_MAX + 1] = {};
  char target[NAME_MAX + 1] = {};
};
UndoRecord undo;

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

// A new hidden name beside the target in `name`.
void makeTemporaryName(char (&name)[NAME_MAX + 1]) {
  const std::string text = temporaryName(undo.target, NAME_MAX - 20);
  std::memcpy(name, text.c_str(), text.size() + 1);
}

// A new temporary file beside the target, opened exclusively without
// following links, and made what an interrupt or fault undoes; -1 if none
// can be made.
int openTemporaryFile() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    makeTemporaryName(undo.temporary);
    const int fd = ::openat(undo.folder, undo.temporary,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) undo.created = true;
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

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& path, const MappedFile* source,
                        std::span<const FileIdentity> protectedFiles) {
  discard();
  if (pendingOutput() != nullptr || undo.folder >= 0) return false;  // one output at a time
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
  undo.placement = Placement::kNone;
  std::memcpy(undo.target, name.c_str(), name.size() + 1);
  makeTemporaryName(undo.backup);
  undoable_ = true;
  setPendingOutput(&undo);
  const int fd = openTemporaryFile();
  if (fd < 0 || interruption() != 0) {
    if (fd >= 0) ::close(fd);
    discard();
    return false;
  }
  // A replaced file keeps its permission bits (but not set-user-ID and the
  // like), and its owner and group where this process may set them (as
  // root); a new one is the user's, with what the umask allows.
  if (exists) {
    if (::fchown(fd, info.st_uid, info.st_gid) != 0) {
      // Not permitted: the file is the user's.
    }
    ::fchmod(fd, info.st_mode & 0777);
  }
  open_ = std::make_unique<Open>(fd, source);
  return true;
}

WriteStatus OutputFile::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (open_ == nullptr || open_->failed) return {WriteStatus::Kind::kOutputFailed, 0};
  WriteStatus status = open_->copy.writeAt(offset, pieces);
  open_->failed = !status.ok();
  return status;
}

WriteStatus OutputFile::flush() {
  if (open_ == nullptr || open_->failed) return {WriteStatus::Kind::kOutputFailed, 0};
  WriteStatus status = open_->copy.flush();
  open_->failed = !status.ok();
  return status;
}

bool OutputFile::commit() {
  if (!flush().ok()) return false;
  const bool closed = open_->close();
  open_.reset();
  if (!closed || interruption() != 0) return false;
  // The temporary file takes the target's place in one step; what was there
  // stays reachable until keep(), so that discard() can still put it back.
  const Placement placement = putInPlace({undo.folder, undo.temporary}, {undo.folder, undo.target},
                                         undo.replacing, {undo.folder, undo.backup});
  undo.placement = placement;
  return placement != Placement::kNone;
}

void OutputFile::keep() {
  if (!undoable_) return;
  settle(undo.placement, {undo.folder, undo.temporary}, {undo.folder, undo.backup});
  undo.created = false;
  setPendingOutput(nullptr);
  ::close(std::exchange(undo.folder, -1));
  undoable_ = false;
}

void OutputFile::discard() {
  open_.reset();
  if (!undoable_) return;
  undo.undo();
  setPendingOutput(nullptr);
  ::close(std::exchange(undo.folder, -1));
  undoable_ = false;
}

}  // namespace vaultcat::platform
