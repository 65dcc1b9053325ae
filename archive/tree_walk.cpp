#include "archive/tree_walk.h"

#include <algorithm>

#include "archive/damage_text.h"

namespace vaultcat {

ChildIterator::ChildIterator(const CacheArchive& archive, uint32_t folder, uint32_t firstChild,
                             ChildCursor cursor, const ChildList& first)
    : archive_(&archive), first_(&first), next_(firstChild), from_(folder), cursor_(cursor) {
  if (cursor == 0) return;
  // The child after the one at the cursor; its sibling link is checked as
  // the link to any child is.
  from_ = static_cast<uint32_t>(std::min<uint64_t>(cursor - 1, UINT32_MAX));
  const std::optional<DirectoryEntry> before = archive.directoryEntry(from_);
  next_ = before ? before->nextSiblingIndex : 0;
  lost_ = !before;
}

std::optional<Child> ChildIterator::next(Status& status) {
  if (lost_) {
    lost_ = false;
    return stop(status, damage_text::folderOutsideDirectory(from_, archive_->itemCount()));
  }
  if (next_ == 0) return std::nullopt;
  if (first_ != nullptr && first_->breakAt == cursor_) return stop(status, first_->damage);
  if (first_ != nullptr && reached_ == first_->count)
    return stop(status, damage_text::itemLinksBack(from_, next_));
  const uint32_t index = next_;
  auto entry = archive_->directoryEntry(index);
  if (!entry)
    return stop(status, damage_text::itemOutsideDirectory(from_, index, archive_->itemCount()));
  if (guard_ != nullptr && !guard_->firstVisit(index))
    return stop(status, damage_text::itemLinksBack(from_, index));
  const std::optional<std::string_view> name = archive_->itemName(index);
  if (!name) return stop(status, damage_text::badItemName(index));
  next_ = entry->nextSiblingIndex;
  from_ = index;
  cursor_ = uint64_t{index} + 1;
  ++reached_;
  return Child{index, *entry, *name};
}

std::optional<Child> ChildIterator::stop(Status& status, Status why) {
  status = std::move(why);
  next_ = 0;
  return std::nullopt;
}

}  // namespace vaultcat
