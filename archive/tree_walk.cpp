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

}  // namespace vaultcat
