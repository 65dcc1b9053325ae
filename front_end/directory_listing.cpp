#include "front_end/directory_listing.h"

#include <vector>

#include "archive/damage_text.h"

namespace vaultcat {

std::string listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out) {
  return walkDirectory(archive, folderIndex, [&out](const WalkedItem& item) {
    out.putSpaces(2 * item.depth);
    out.put(item.name);
    out.put(item.folder ? "\\\n" : "\n");
  });
}

std::string walkDirectory(const CacheArchive& archive, uint32_t folderIndex,
                          const std::function<void(const WalkedItem&)>& visit) {
  const uint32_t itemCount = archive.itemCount();
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder) {
    return damage_text::folderOutsideDirectory(folderIndex, itemCount);
  }

  // The walk keeps its own stack rather than recursing, so a damaged tree
  // cannot exhaust the program's stack. Each level holds the next sibling
  // to print and the item it was reached from (for the messages).
  struct Level {
    uint32_t next;
    uint32_t from;
  };
  std::vector<Level> levels{{folder->firstChildIndex, folderIndex}};
  // In a sound tree every item is reached once; reaching one again means a
  // link loops back, and following it would never end.
  std::vector<bool> seen(itemCount, false);
  seen[folderIndex] = true;

  while (!levels.empty()) {
    Level& level = levels.back();
    const uint32_t child = level.next;
    if (child == 0) {
      levels.pop_back();
      continue;
    }
    auto entry = archive.directoryEntry(child);
    if (!entry) return damage_text::itemOutsideDirectory(level.from, child, itemCount);
    if (seen[child]) {
      return "item " + std::to_string(level.from) + " links back to item " +
             std::to_string(child) + ", making a loop in the tree";
    }
    seen[child] = true;
    auto name = archive.itemName(child);
    if (!name) {
      return damage_text::badItemName(child);
    }

    level.next = entry->nextSiblingIndex;
    level.from = child;
    visit({child, levels.size() - 1, *name, entry->isFolder()});
    if (!entry->isFolder()) continue;
    // A file's firstChildIndex is never read; an empty folder adds nothing.
    if (entry->firstChildIndex == 0) continue;
    if (levels.size() >= kMaxFolderDepth) {
      return "folders nest deeper than " + std::to_string(kMaxFolderDepth) +
             " levels at item " + std::to_string(child);
    }
    levels.push_back({entry->firstChildIndex, child});
  }
  return std::string();
}

}  // namespace vaultcat
