// Following the directory tree: a folder's children in stored order, and
// the walk over every item below a folder. Every link is checked against the
// directory before it is followed, every name against the name table, and
// an item reached a second time ends the walk as a loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/damage_text.h"
#include "archive/status.h"

namespace vaultcat {

// The items one walk has reached. In a sound tree each is reached once, so
// reaching one again means a link loops back, and following it would never
// end.
class LoopGuard {
 public:
  explicit LoopGuard(uint32_t itemCount) : seen_(itemCount, false) {}
  // False if `item` (which lies in the directory) was reached before.
  bool firstVisit(uint32_t item) { return !seen_[item] && (seen_[item] = true); }

 private:
  std::vector<bool> seen_;
};

struct Child {
  uint32_t index;
  DirectoryEntry entry;
  std::string_view name;
};

// Where a walk of one folder's children stands, as a number that can be
// kept and gone on from later (a mounted folder is listed a page at a
// time): 0 before the first child, and after a child its index plus one.
using ChildCursor = uint64_t;

// What the first walk of a folder's children found, for the walks that go
// over them again: how many it reached, and where the list broke (the
// cursor after the last child reached) and why, if it could not be
// followed to its end.
struct ChildList {
  uint64_t count = 0;
  std::optional<ChildCursor> breakAt;
  Status damage;
};

// The children of one folder, in stored order.
class ChildIterator {
 public:
  // A first walk, from the folder's first child: it reaches no item that
  // `guard` has seen, so that a walk that shares it reaches each item once.
  ChildIterator(const CacheArchive& archive, uint32_t folder, uint32_t firstChild, LoopGuard& guard)
      : archive_(&archive), guard_(&guard), next_(firstChild), from_(folder) {}
  // A walk again of the children `first` found, from `cursor`: it stops
  // where the first walk broke, and reaches no more children than it did,
  // so that a cursor the folder never gave, which can lead anywhere, ends
  // as surely.
  ChildIterator(const CacheArchive& archive, uint32_t folder, uint32_t firstChild,
                ChildCursor cursor, const ChildList& first);

  // The next child; nothing at the end of the folder, or when the link to
  // it cannot be followed, which `status` then says.
  std::optional<Child> next(Status& status);
  // Where the walk stands: after the child next() gave last.
  ChildCursor cursor() const { return cursor_; }

 private:
  std::optional<Child> stop(Status& status, Status why);

  const CacheArchive* archive_;
  LoopGuard* guard_ = nullptr;        // of a first walk
  const ChildList* first_ = nullptr;  // of a walk again
  uint32_t next_;                     // 0 at the end
  uint32_t from_;                     // the item that links to next_, for the messages
  ChildCursor cursor_ = 0;
  uint64_t reached_ = 0;
  bool lost_ = false;  // the cursor's item is outside the directory
};

// What a visit of the walk answers: go on (into the item, if a folder), go
// on past it (what a folder holds is not visited), or stop. A visit may
// answer a bool instead: true to go on, false to stop.
enum class Walk { kOn, kPast, kStop };
inline Walk asWalk(Walk walk) { return walk; }
inline Walk asWalk(bool goOn) { return goOn ? Walk::kOn : Walk::kStop; }

// One item reached by the walk. `depth` is 0 for the children of the folder
// the walk started at.
struct WalkedItem {
  uint32_t index;
  uint64_t depth;
  std::string_view name;
  bool folder;
};

// Calls `visit` for every item below `folderIndex`, depth first in stored
// sibling order: each folder is followed at once by its contents, unless
// its visit answers Walk::kPast. Stops at
// the first link that cannot be followed (outside the directory, a name
// outside the name table, a loop, folders nested deeper than
// kMaxFolderDepth), after visiting every item before it, or as soon as
// `visit` answers false. The walk keeps its own stack rather than
// recursing, so a damaged tree cannot exhaust the program's.
//
// With `damaged`, damage below the folder the walk starts at need not stop
// it: damaged(depth, status) is called with the depth the broken folder's
// contents would have (0 for the folder the walk starts at), and if it
// answers true the walk leaves out the rest of that folder and goes on
// after it.
template <class Visit, class Damaged>
Status walkDirectory(const CacheArchive& archive, uint32_t folderIndex, Visit&& visit,
                     Damaged&& damaged) {
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder) return damage_text::folderOutsideDirectory(folderIndex, archive.itemCount());
  LoopGuard guard(archive.itemCount());
  guard.firstVisit(folderIndex);
  std::vector<ChildIterator> levels{{archive, folderIndex, folder->firstChildIndex, guard}};
  Status status;
  while (!levels.empty()) {
    std::optional<Child> child = levels.back().next(status);
    if (!status.ok()) {
      if (!damaged(levels.size() - 1, status)) return status;
      status = {};
      levels.pop_back();
      continue;
    }
    if (!child) {
      levels.pop_back();
      continue;
    }
    const Walk next = asWalk(
        visit(WalkedItem{child->index, levels.size() - 1, child->name, child->entry.isFolder()}));
    if (next == Walk::kStop) break;
    // A file's firstChildIndex is never read; an empty folder adds nothing.
    if (next == Walk::kPast || !child->entry.isFolder() || child->entry.firstChildIndex == 0)
      continue;
    if (levels.size() >= kMaxFolderDepth) {
      status = damage_text::foldersTooDeep(child->index);
      if (!damaged(levels.size(), status)) return status;
      status = {};
      continue;
    }
    levels.emplace_back(archive, child->index, child->entry.firstChildIndex, guard);
  }
  return status;
}

template <class Visit>
Status walkDirectory(const CacheArchive& archive, uint32_t folderIndex, Visit&& visit) {
  return walkDirectory(archive, folderIndex, visit, [](uint64_t, const Status&) { return false; });
}

}  // namespace vaultcat
