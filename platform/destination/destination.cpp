// The destination, on every system.
#include "platform/destination/destination.h"

#include <chrono>
#include <optional>

#include "platform/destination/staging.h"

namespace vaultcat::platform {

namespace {

// How long a run waits for another that extracts into the same destination
// before it refuses: long enough for a run that is about to end.
constexpr std::chrono::seconds kLockWait{2};

}  // namespace

std::pair<std::string_view, std::string_view> folderAndName(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {{}, path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// The lock is taken where the destination is to be (the folder it is in
// and its name) before it is looked at, so that two runs into one not made
// yet meet there; then on the folder itself, which a run that names it by
// another path (through a link) takes too.
bool Destination::open(const std::string& path, std::vector<OutputTree::Recovered>& recovered) {
  const std::optional<FolderAndName> split = splitPath(path);
  FileIdentity where;
  const bool hasParent =
      split && parent_.open(split->folder) == Folder::Opened::kOpened && parent_.identify(where);
  if (split) name_ = split->name;
  shown_ = path;
  if (hasParent && !lock(whereLock_, where, name_)) return false;
  switch (folder_.open(path)) {
    case Folder::Opened::kOpened:
      break;
    case Folder::Opened::kMissing:
      if (hasParent && make()) break;
      [[fallthrough]];
    case Folder::Opened::kFailed:
      note_.failHere(path);
      unmake();
      return false;
  }
  FileIdentity own;
  if (!folder_.identify(own)) return note_.failHere(path);
  if (!lock(folderLock_, own, "") || !clearLeftovers(recovered)) {
    unmake();
    return false;
  }
  return true;
}

bool Destination::lock(RunLock& lock, const FileIdentity& folder, std::string_view name) {
  switch (lock.take(folder, name, kLockWait)) {
    case RunLock::Taken::kTaken:
      return true;
    case RunLock::Taken::kBusy:
      return note_.fail({Failure::Kind::kBusy}, shown_);
    case RunLock::Taken::kStopped:
      return note_.fail({Failure::Kind::kInterrupted}, shown_);
    case RunLock::Taken::kFailed:
      break;
  }
  return note_.failHere(shown_);
}

// Made as the user's folders are, never over anything.
bool Destination::make() {
  FileIdentity made;
  if (!makeFolder({parent_, name_.c_str()}, 0777)) return false;
  if (identifyAt({parent_, name_.c_str()}, made)) made_ = made;
  return made_ && folder_.openIn(parent_, name_);
}

void Destination::unmake() {
  if (!made_) return;
  walk_.release();
  folder_.close();
  if (isAt({parent_, name_.c_str()}, *made_)) removeEmptyFolder({parent_, name_.c_str()});
  made_.reset();
}

bool Destination::clearLeftovers(std::vector<OutputTree::Recovered>& recovered) {
  using How = staging::Cleared::How;
  std::vector<staging::Cleared> cleared;
  std::string kept;
  const bool whole = staging::clearLeftovers(folder_, cleared, kept);
  const std::string prefix =
      shown_ == "." ? "" : shown_ + (shown_.empty() || shown_.back() == '/' ? "" : "/");
  for (const staging::Cleared& one : cleared) {
    recovered.push_back({prefix + one.name, one.how == How::kTookBack, one.how != How::kNotOurs});
    // The run that made the destination is taken back: this one stands
    // in its place.
    FileIdentity own;
    if (one.madeDestination && parent_.isOpen() && !made_ && folder_.identify(own)) made_ = own;
  }
  return whole || note_.fail({Failure::Kind::kCannotTakeBack}, prefix + kept);
}

uint64_t Destination::longestPath() const { return longestPathUnder(folder_); }

Destination::Inspected Destination::inspectAt(std::string_view path) {
  const auto [folder, name] = folderAndName(path);
  Inspected inspected;
  inspected.folder = walk_.reach(folder, inspected.failure);
  if (inspected.folder == nullptr) return inspected;
  inspected.name = name;
  inspected.found = inspect(inspected.at(), protectedFiles_, inspected.seen);
  return inspected;
}

}  // namespace vaultcat::platform
