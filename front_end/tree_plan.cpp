#include "front_end/tree_plan.h"

#include <algorithm>
#include <utility>

#include "archive/cache_layout.h"
#include "archive/tree_walk.h"
#include "platform/destination/names.h"
#include "platform/destination/output_path.h"

namespace vaultcat {

using Found = Destination::Found;
using Place = platform::OutputTree::Place;

FolderNames::Verdict FolderNames::admit(std::string_view stored) {
  const platform::Spelling spelled(stored);
  const std::string_view name = spelled.text();
  if (!keys_.insert(platform::nameKey(name)).second) return Verdict::kSameName;
  if (!platform::isSafeName(name)) return Verdict::kUnsafeName;
  if (platform::isOwnName(name)) return Verdict::kOwnName;
  return platform::fitsAsName(name) ? Verdict::kWritten : Verdict::kNameTooLong;
}

TreePlan::TreePlan(const CacheArchive& archive, const std::vector<std::vector<uint32_t>>& trails,
                   Destination& destination)
    : archive_(archive),
      destination_(destination),
      alreadyThere_(archive.itemCount()),
      leftOut_(archive.itemCount()) {
  using Trails = std::vector<const std::vector<uint32_t>*>;
  Trails items;
  for (const std::vector<uint32_t>& trail : trails) {
    // The whole cache holds every other.
    if (trail.empty()) return;
    items.push_back(&trail);
  }
  // The trails through one item at `depth` go on one after another, so that
  // a folder on their way is entered once and its names are checked
  // together; when one of them ends there, the others lie in its item.
  const auto group = [&](auto& self, Trails members, uint64_t depth) -> void {
    while (!members.empty()) {
      const uint32_t index = (*members.front())[depth];
      Trails through, rest;
      for (const auto* member : members)
        ((*member)[depth] == index ? through : rest).push_back(member);
      const bool named = std::any_of(through.begin(), through.end(), [&](const auto* member) {
        return member->size() == depth + 1;
      });
      steps_.push_back({index, depth, named});
      if (!named) self(self, std::move(through), depth + 1);
      members = std::move(rest);
    }
  };
  group(group, std::move(items), 0);
}

bool TreePlan::forEach(const std::function<bool(const PlannedItem&)>& visit,
                       const DamagedFolder& damagedFolder) {
  damage_ = {};
  // Each pass checks names afresh.
  namesChecked_.clear();
  if (steps_.empty()) return walkBelow(kRootItem, 0, visit, damagedFolder);
  for (const Step& step : steps_) {
    // An item named may be a file; every one on the way leads on as a folder.
    const bool folder = !step.named || archive_.directoryEntry(step.index)->isFolder();
    const Walk next = enter(step.index, *archive_.itemName(step.index), folder, step.depth, visit);
    if (next == Walk::kStop) return false;
    if (next == Walk::kOn && step.named && folder &&
        !walkBelow(step.index, step.depth + 1, visit, damagedFolder))
      return false;
  }
  return true;
}

// Visits everything below `folder`, whose contents lie at `depth`.
bool TreePlan::walkBelow(uint32_t folder, uint64_t depth,
                         const std::function<bool(const PlannedItem&)>& visit,
                         const DamagedFolder& damagedFolder) {
  bool going = true;
  const auto visitItem = [&](const WalkedItem& item) {
    const Walk next = enter(item.index, item.name, item.folder, depth + item.depth, visit);
    going = next != Walk::kStop;
    return next;
  };
  // The broken folder is the one whose contents would be at `contents`:
  // the last one entered above that depth.
  const auto broken = [&](uint64_t walkDepth, const Status& damage) {
    if (!damagedFolder) return false;
    const uint64_t contents = depth + walkDepth;
    const std::string path =
        contents == 0 ? std::string() : path_.substr(0, openFolders_[contents - 1].pathLength);
    return going = damagedFolder(path, damage);
  };
  damage_ = walkDirectory(archive_, folder, visitItem, broken);
  return going && damage_.ok();
}

Walk TreePlan::enter(uint32_t index, std::string_view stored, bool folder, uint64_t depth,
                     const std::function<bool(const PlannedItem&)>& visit) {
  // Written as this system spells it (on Windows a name may be in the old
  // ANSI code page).
  const platform::Spelling name(stored);
  // The item is in the folder opened last at the depth above it; those
  // below that are left.
  if (openFolders_.size() > depth) openFolders_.resize(depth);
  path_.resize(depth == 0 ? 0 : openFolders_.back().pathLength);
  if (depth > 0) path_ += '/';
  path_ += name.text();
  // What is in a folder left out is left out with it.
  if (depth > 0 && openFolders_.back().leftOut) leftOut_[index] = true;
  if (!leftOut_[index]) {
    const bool folderThere = depth == 0 ? destination_.exists() : openFolders_.back().there;
    const Place place = !folderThere           ? Place::kInNewFolder
                        : alreadyThere_[index] ? Place::kExisting
                                               : Place::kNew;
    if (!visit(PlannedItem{index, folder, depth, name.text(), stored, path_, place}))
      return Walk::kStop;
  }
  if (folder) openFolders_.push_back({path_.size(), alreadyThere_[index], leftOut_[index]});
  return leftOut_[index] ? Walk::kPast : Walk::kOn;
}

bool TreePlan::check(const PlannedItem& item) {
  refusal_ = Refusal::kNone;
  // The names of each folder open, by depth: a folder's are dropped when
  // the walk leaves it for one at its own depth or above.
  namesChecked_.resize(item.depth + 1);
  switch (namesChecked_.back().admit(item.stored)) {
    case FolderNames::Verdict::kSameName:
      refusal_ = Refusal::kSameName;
      break;
    case FolderNames::Verdict::kUnsafeName:
      refusal_ = Refusal::kUnsafeName;
      break;
    case FolderNames::Verdict::kOwnName:
      refusal_ = Refusal::kOwnName;
      break;
    case FolderNames::Verdict::kNameTooLong:
      refusal_ = Refusal::kNameTooLong;
      break;
    case FolderNames::Verdict::kWritten:
      if (item.path.size() > destination_.longestPath()) refusal_ = Refusal::kTooLong;
      break;
  }
  if (refusal_ != Refusal::kNone) return false;
  const Found found =
      item.place == Place::kInNewFolder ? Found::kNothing : destination_.inspect(item.path);
  const Found kind = item.folder ? Found::kFolder : Found::kFile;
  alreadyThere_[item.index] = found == kind;
  if (found == Found::kNothing || found == kind) return true;
  refusal_ = found == Found::kFolder ? Refusal::kFolderThere
             : found == Found::kFile ? Refusal::kFileThere
                                     : Refusal::kOtherThere;
  return false;
}

}  // namespace vaultcat
