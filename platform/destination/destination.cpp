// The destination, on every system.
#include "platform/destination/destination.h"

#include <algorithm>
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
  for (int attempt = 0; attempt < 2; ++attempt) {
    const Folder::Opened opened = folder_.open(path);
    if (opened == Folder::Opened::kFailed) return note_.failHere(path);
    if (opened == Folder::Opened::kOpened &&
        (!lock(path) || !clearLeftovers(folder_, "", path, recovered)))
      return false;
    if (!hasParent) break;
    const size_t before = recovered.size();
    if (!clearLeftovers(parent_, name_, split->folder, recovered)) return false;
    // A tree a killed run moved in as the destination went back: what is
    // at the path now is opened again.
    if (std::none_of(recovered.begin() + static_cast<ptrdiff_t>(before), recovered.end(),
                     [](const OutputTree::Recovered& one) { return one.tookBack; }))
      break;
    folder_.close();
  }
  if (!exists() && !hasParent) return note_.failHere(path);
  shownHome_ = exists() ? path : split->folder == "." ? "" : split->folder;
  return true;
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
