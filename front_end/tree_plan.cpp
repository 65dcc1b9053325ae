#include "front_end/tree_plan.h"

#include <utility>

#include "archive/cache_layout.h"
#include "archive/tree_walk.h"
#include "platform/names.h"
#include "platform/output_path.h"

namespace vaultcat {

using Found = Destination::Found;
using Place = platform::OutputTree::Place;

TreePlan::TreePlan(const CacheArchive& archive, std::vector<uint32_t> trail,
                   Destination& destination)
    : archive_(archive),
      trail_(std::move(trail)),
      destination_(destination),
      alreadyThere_(archive.itemCount()) {}

bool TreePlan::forEach(const std::function<bool(const PlannedItem&)>& visit,
                       const DamagedFolder& damagedFolder) {
  damage_ = {};
  // Each pass checks names afresh.
  namesChecked_.clear();
  uint64_t depth = 0;
  for (const uint32_t index : trail_) {
    // The item named may be a file; every one before it leads on as a folder.
    const bool folder = index != trail_.back() || archive_.directoryEntry(index)->isFolder();
    if (!enter(index, *archive_.itemName(index), folder, depth++, visit)) return false;
  }
  const uint32_t top = trail_.empty() ? kRootItem : trail_.back();
  if (!archive_.directoryEntry(top)->isFolder()) return true;
  bool going = true;
  const auto visitItem = [&](const WalkedItem& item) {
    return going = enter(item.index, item.name, item.folder, depth + item.depth, visit);
  };
  // The broken folder is the one whose contents would be at `contents`:
  // the last one entered above that depth.
  const auto broken = [&](uint64_t walkDepth, const Status& damage) {
    if (!damagedFolder) return false;
    const uint64_t contents = depth + walkDepth;
    const std::string folder =
        contents == 0 ? std::string() : path_.substr(0, openFolders_[contents - 1].pathLength);
    return going = damagedFolder(folder, damage);
  };
  damage_ = walkDirectory(archive_, top, visitItem, broken);
  return going && damage_.ok();
}

bool TreePlan::enter(uint32_t index, std::string_view stored, bool folder, uint64_t depth,
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
  const bool folderThere = depth == 0 ? destination_.exists() : openFolders_.back().there;
  const Place place = !folderThere           ? Place::kInNewFolder
                      : alreadyThere_[index] ? Place::kExisting
                                             : Place::kNew;
  if (!visit(PlannedItem{index, folder, depth, name.text(), path_, place})) return false;
  if (folder) openFolders_.push_back({path_.size(), alreadyThere_[index]});
  return true;
}

bool TreePlan::check(const PlannedItem& item) {
  refusal_ = Refusal::kNone;
  // The names of each folder open, by depth: a folder's are dropped when
  // the walk leaves it for one at its own depth or above.
  namesChecked_.resize(item.depth + 1);
  if (!namesChecked_.back().insert(platform::nameKey(item.name)).second)
    refusal_ = Refusal::kSameName;
  else if (!platform::isSafeName(item.name))
    refusal_ = Refusal::kUnsafeName;
  else if (item.path.size() > destination_.longestPath())
    refusal_ = Refusal::kTooLong;
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
