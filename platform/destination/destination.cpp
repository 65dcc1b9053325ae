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

bool Destination::open(const std::string& path, std::vector<OutputTree::Recovered>& recovered) {
  const std::optional<FolderAndName> split = splitPath(path);
  const bool hasParent = split && parent_.open(split->folder) == Folder::Opened::kOpened;
  if (split) name_ = split->name;
  // First what runs that were making the destination left beside it: a
  // tree one of them moved in as the destination goes back, which Windows
  // refuses while the destination is held open here. A run that is still
  // making it holds its staging folder, which is left to it.
  if (hasParent && !clearLeftovers(parent_, name_, split->folder, recovered)) return false;
  switch (folder_.open(path)) {
    case Folder::Opened::kOpened:
      if (!lock(path) || !clearLeftovers(folder_, "", path, recovered)) return false;
      shownHome_ = path;
      return true;
    case Folder::Opened::kMissing:
      if (!hasParent) break;
      shownHome_ = split->folder == "." ? "" : split->folder;
      return true;
    case Folder::Opened::kFailed:
      break;
  }
  return note_.failHere(path);
}

bool Destination::lock(const std::string& path) {
  switch (folder_.lock(kLockWait)) {
    case Folder::Locked::kLocked:
      return true;
    case Folder::Locked::kBusy:
      return note_.fail({Failure::Kind::kBusy}, path);
    case Folder::Locked::kStopped:
      return note_.fail({Failure::Kind::kInterrupted}, path);
    case Folder::Locked::kFailed:
      break;
  }
  return note_.failHere(path);
}

bool Destination::clearLeftovers(const Folder& in, std::string_view name,
                                 const std::string& shownIn,
                                 std::vector<OutputTree::Recovered>& recovered) {
  std::vector<staging::Cleared> cleared;
  std::string kept;
  const bool whole = staging::clearLeftovers(in, name, cleared, kept);
  const std::string prefix =
      shownIn == "." ? "" : shownIn + (shownIn.empty() || shownIn.back() == '/' ? "" : "/");
  for (const staging::Cleared& one : cleared)
    recovered.push_back({prefix + one.name, one.tookBack});
  return whole || note_.fail({Failure::Kind::kCannotTakeBack}, prefix + kept);
}

uint64_t Destination::longestPath() const {
  const uint64_t longest = longestPathUnder(home());
  // The tree is staged beside a new destination, under a longer name.
  const uint64_t staged = exists() ? 0 : name_.size() + 1;
  return longest > staged ? longest - staged : 0;
}

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
