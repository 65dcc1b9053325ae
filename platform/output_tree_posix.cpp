// The tree output on POSIX systems. The staging folder holds the new tree in
// "t" and, where a file system cannot swap two names, links to replaced
// files in "o"; commit() moves each item in as placement_posix.h says,
// keeping a journal to take the moves back.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/kernel_copy_posix.h"
#include "platform/output_tree.h"
#include "platform/placement_posix.h"
#include "platform/platform_internal.h"
#include "platform/process.h"

namespace vaultcat::platform {

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

// Removes the folder `name` in `folder` with everything in it. Folders are
// opened by their path from `folder` rather than held open, so that a deep
// tree needs no more descriptors than a shallow one.
void removeTree(int folder, const std::string& name) {
  std::vector<std::string> pending{name};
  while (!pending.empty()) {
    const std::string path = pending.back();
    const int fd = ::openat(folder, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* entries = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (entries == nullptr) {
      if (fd >= 0) ::close(fd);
      ::unlinkat(folder, path.c_str(), 0);
      pending.pop_back();
      continue;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(entries)) {
      const std::string_view child = entry->d_name;
      if (child == "." || child == "..") continue;
      const std::string childPath = path + "/" + entry->d_name;
      if (::unlinkat(folder, childPath.c_str(), 0) != 0 && errno == EISDIR) {
        pending.push_back(childPath);
        empty = false;
      }
    }
    ::closedir(entries);
    if (empty) {
      ::unlinkat(folder, path.c_str(), AT_REMOVEDIR);
      pending.pop_back();
    }
  }
}

}  // namespace

struct OutputTree::State final : PendingOutput {
  enum class Kind : uint8_t { kFolder, kFile, kReplacement };
  // One move of commit(): the item named `name` (an offset into `names`)
  // in the folder `folder` (an index into `folders`). A million steps take
  // some 25 MB this way, where whole paths took 40.
  struct Step {
    uint32_t folder;
    uint32_t name;
    Kind kind;
    Placement placement = Placement::kNone;
  };

  // The owner, group and permission bits of a file.
  struct Metadata {
    uid_t owner;
    gid_t group;
    mode_t mode;
  };

  explicit State(const MappedFile* cache) : copy(-1, cache) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ~State() {
    undo();
    closeIfOpen(destination);
    closeIfOpen(parent);
  }
  void undo() override;
  bool makeStaging();
  bool record(const std::string& path, Kind kind);
  // The step's path from the tree's top, in `scratch`.
  const char* pathOf(const Step& step) {
    const std::string& folder = folders[step.folder];
    scratch.assign(folder).append(folder.empty() ? "" : "/").append(names.c_str() + step.name);
    return scratch.c_str();
  }
  At backup(size_t step) {
    backupName = std::to_string(step);
    return {old, backupName.c_str()};
  }

  std::vector<FileIdentity> protectedFiles;
  // What a new file gets, and what files to be replaced have otherwise.
  uid_t owner = ::geteuid();
  gid_t group = ::getegid();
  mode_t mode = 0666;
  std::unordered_map<std::string, Metadata> metadata;
  int destination = -1;         // the destination, where it exists
  int parent = -1;              // the folder it is in, where it does not yet
  std::string destinationName;  // its name there
  int home = -1;                // where the staging folder is: one of the two
  std::string staging;          // the staging folder's name there; empty until made
  int stagingFolder = -1, tree = -1, old = -1;
  std::string backupName, scratch;
  std::vector<Step> steps;
  std::vector<std::string> folders;   // from the tree's top, "" for the top itself
  std::string names;                  // each ended by a NUL
  Placement root = Placement::kNone;  // the tree itself, where the destination is new
  bool committed = false;
  int file = -1;  // the file being written
  bool fileFailed = false;
  KernelCopy copy;
};

bool OutputTree::State::makeStaging() {
  if (!staging.empty()) return tree >= 0;
  staging = temporaryName(destination >= 0 ? "" : destinationName, NAME_MAX - 20);
  setPendingOutput(this);
  if (::mkdirat(home, staging.c_str(), 0700) != 0) {
    staging.clear();
    setPendingOutput(nullptr);
    return false;
  }
  stagingFolder = ::openat(home, staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  // The tree takes the destination's place where there is none: a folder
  // made as the user's folders are.
  for (const auto& [name, bits, fd] : {std::tuple{"t", 0777, &tree}, {"o", 0700, &old}}) {
    if (stagingFolder < 0 || ::mkdirat(stagingFolder, name, static_cast<mode_t>(bits)) != 0)
      return false;
    *fd = ::openat(stagingFolder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  return tree >= 0 && old >= 0 && interruption() == 0;
}

bool OutputTree::State::record(const std::string& path, Kind kind) {
  const size_t slash = path.rfind('/');
  const std::string_view folder =
      std::string_view(path).substr(0, slash == std::string::npos ? 0 : slash);
  // The files of one folder come one after another, so a folder is kept
  // once for each run of them.
  if (folders.empty() || folders.back() != folder) folders.emplace_back(folder);
  if (names.size() > UINT32_MAX || folders.size() > UINT32_MAX) return false;
  steps.push_back(
      {static_cast<uint32_t>(folders.size() - 1), static_cast<uint32_t>(names.size()), kind});
  names.append(path, slash == std::string::npos ? 0 : slash + 1).push_back('\0');
  return true;
}

void OutputTree::State::undo() {
  closeIfOpen(file);
  if (committed) {
    // Back in the staging folder, the moves are gone with it.
    for (size_t i = steps.size(); i-- > 0;) {
      const char* path = pathOf(steps[i]);
      takeBack(steps[i].placement, {tree, path}, {destination, path}, backup(i));
    }
    takeBack(root, {stagingFolder, "t"}, {parent, destinationName.c_str()}, {old, ""});
    committed = false;
  }
  for (int* fd : {&tree, &old, &stagingFolder}) closeIfOpen(*fd);
  if (!staging.empty()) removeTree(home, std::exchange(staging, std::string()));
  steps.clear();
  folders.clear();
  names.clear();
  if (pendingOutput() == this) setPendingOutput(nullptr);
}

OutputTree::OutputTree() = default;
OutputTree::~OutputTree() { discard(); }

bool OutputTree::begin(const std::string& destination, const MappedFile* source,
                       std::span<const FileIdentity> protectedFiles) {
  discard();
  if (pendingOutput() != nullptr || destination.empty()) return false;  // one output at a time
  auto state = std::make_unique<State>(source);
  state->protectedFiles.assign(protectedFiles.begin(), protectedFiles.end());
  state->destination = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (state->destination >= 0) {
    state->home = state->destination;
  } else if (errno == ENOENT) {
    std::string path = destination;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    state->destinationName = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (state->destinationName == "." || state->destinationName == ".." ||
        state->destinationName.size() > NAME_MAX)
      return false;
    state->parent = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (state->parent < 0) return false;
    state->home = state->parent;
  } else {
    return false;
  }
  destinationExists_ = state->destination >= 0;
  state_ = std::move(state);
  return true;
}

OutputTree::Found OutputTree::inspect(const std::string& path) {
  State& s = *state_;
  if (s.destination < 0) return Found::kNothing;
  struct stat info {};
  if (::fstatat(s.destination, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Found::kNothing : Found::kOther;
  if (S_ISDIR(info.st_mode)) return Found::kFolder;
  const FileIdentity found{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  // Root may write any file; anyone else is asked, as for a single file.
  const bool writable =
      s.owner == 0 || ::faccessat(s.destination, path.c_str(), W_OK, AT_EACCESS) == 0;
  if (!S_ISREG(info.st_mode) || !writable || isOneOf(found, s.protectedFiles)) return Found::kOther;
  // A replaced file keeps its permission bits and, where this process may
  // set them, its owner and group, as a single extracted file does. Only
  // those a new file would not have are noted, for beginFile().
  const State::Metadata kept{info.st_uid, info.st_gid, info.st_mode & 0777};
  if (kept.owner != s.owner || kept.group != s.group || kept.mode != s.mode)
    s.metadata.emplace(path, kept);
  return Found::kFile;
}

bool OutputTree::addFolder(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging() || ::mkdirat(s.tree, path.c_str(), 0777) != 0) return false;
  return place != Place::kNew || s.record(path, State::Kind::kFolder);
}

bool OutputTree::beginFile(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging()) return false;
  s.file =
      ::openat(s.tree, path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (s.file < 0) return false;
  s.fileFailed = false;
  s.copy.setOutput(s.file);
  if (place == Place::kInNewFolder) return true;
  if (!s.record(path, place == Place::kThere ? State::Kind::kReplacement : State::Kind::kFile))
    return false;
  if (const auto kept = s.metadata.find(path); place == Place::kThere && kept != s.metadata.end()) {
    if (::fchown(s.file, kept->second.owner, kept->second.group) != 0) {
      // Not permitted: the file is the user's.
    }
    ::fchmod(s.file, kept->second.mode);
  }
  return true;
}

WriteStatus OutputTree::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  State& s = *state_;
  if (s.file < 0 || s.fileFailed) return {WriteStatus::Kind::kOutputFailed, 0};
  const WriteStatus status = s.copy.writeAt(offset, pieces);
  s.fileFailed = !status.ok();
  return status;
}

WriteStatus OutputTree::flush() {
  State& s = *state_;
  if (s.file < 0 || s.fileFailed) return {WriteStatus::Kind::kOutputFailed, 0};
  const WriteStatus status = s.copy.flush();
  s.fileFailed = !status.ok();
  return status;
}

bool OutputTree::endFile() {
  State& s = *state_;
  const bool flushed = flush().ok();
  const bool closed = ::close(std::exchange(s.file, -1)) == 0;
  return flushed && closed;
}

bool OutputTree::commit() {
  State& s = *state_;
  if (!s.makeStaging() || s.file >= 0 || interruption() != 0) return false;
  s.committed = true;
  if (s.destination < 0) {
    s.root = putFolderInPlace({s.stagingFolder, "t"}, {s.parent, s.destinationName.c_str()});
    return s.root != Placement::kNone;
  }
  for (size_t i = 0; i < s.steps.size(); ++i) {
    State::Step& step = s.steps[i];
    const At inTree{s.tree, s.pathOf(step)}, inDestination{s.destination, inTree.name};
    step.placement = step.kind == State::Kind::kFolder
                         ? putFolderInPlace(inTree, inDestination)
                         : putInPlace(inTree, inDestination, step.kind == State::Kind::kReplacement,
                                      s.backup(i));
    if (step.placement == Placement::kNone || interruption() != 0) return false;
  }
  return true;
}

void OutputTree::keep() {
  if (state_ == nullptr) return;
  // What was replaced is in the staging folder now, which goes.
  state_->committed = false;
  state_->undo();
  state_.reset();
}

void OutputTree::discard() {
  if (state_ != nullptr) state_->undo();
  state_.reset();
}

}  // namespace vaultcat::platform
