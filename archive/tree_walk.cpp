#include "archive/tree_walk.h"

#include "archive/damage_text.h"

namespace vaultcat {

std::optional<Child> ChildIterator::next(Status& status) {
  if (next_ == 0) return std::nullopt;
  const uint32_t index = next_;
  auto entry = archive_->directoryEntry(index);
  if (!entry) {
    status = damage_text::itemOutsideDirectory(from_, index, archive_->itemCount());
  } else if (!guard_->firstVisit(index)) {
    status = damage_text::itemLinksBack(from_, index);
  } else if (auto name = archive_->itemName(index)) {
    next_ = entry->nextSiblingIndex;
    from_ = index;
    return Child{index, *entry, *name};
  } else {
    status = damage_text::badItemName(index);
  }
  next_ = 0;
  return std::nullopt;
}

Status walkDirectory(const CacheArchive& archive, uint32_t folderIndex,
                     const std::function<void(const WalkedItem&)>& visit) {
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder) return damage_text::folderOutsideDirectory(folderIndex, archive.itemCount());
  LoopGuard guard(archive.itemCount());
  guard.firstVisit(folderIndex);
  std::vector<ChildIterator> levels{{archive, folderIndex, folder->firstChildIndex, guard}};
  Status status;
  while (!levels.empty()) {
    std::optional<Child> child = levels.back().next(status);
    if (!status.ok()) return status;
    if (!child) {
      levels.pop_back();
      continue;
    }
    visit({child->index, levels.size() - 1, child->name, child->entry.isFolder()});
    // A file's firstChildIndex is never read; an empty folder adds nothing.
    if (!child->entry.isFolder() || child->entry.firstChildIndex == 0) continue;
    if (levels.size() >= kMaxFolderDepth) return damage_text::foldersTooDeep(child->index);
    levels.emplace_back(archive, child->index, child->entry.firstChildIndex, guard);
  }
  return status;
}

}  // namespace vaultcat
