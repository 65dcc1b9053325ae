#include "archive/item_lookup.h"

#include <algorithm>
#include <string_view>

#include "archive/damage_text.h"
#include "archive/tree_walk.h"

namespace vaultcat {

namespace {

char toAsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view stored, const char* name) {
  for (char c : stored) {
    if (*name == '\0' || toAsciiLower(c) != toAsciiLower(*name)) return false;
    ++name;
  }
  return *name == '\0';
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

LookupResult findItemByPath(const CacheArchive& archive, char* path) {
  // An empty path names nothing.
  if (path[0] == '\0') return {};
  uint32_t folder = kRootItem;
  char* component = path;
  // The search for the first separator starts at the second character.
  char* end = path + 1;
  while (true) {
    while (*end != '\0' && !isSeparator(*end)) ++end;
    const bool last = *end == '\0';
    *end = '\0';
    LookupResult child = findChildByName(archive, component, folder);
    if (!child.found() || last) return child;
    folder = static_cast<uint32_t>(child.index);
    component = end + 1;
    end = component;
  }
}

LookupResult findChildByName(const CacheArchive& archive, const char* name, uint32_t folderIndex) {
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder) return {-1, damage_text::folderOutsideDirectory(folderIndex, archive.itemCount())};
  LoopGuard guard(archive.itemCount());
  ChildIterator children(archive, folderIndex, folder->firstChildIndex, guard);
  LookupResult result;
  while (std::optional<Child> child = children.next(result.status)) {
    if (equalsIgnoringAsciiCase(child->name, name)) return {child->index, {}};
  }
  return result;
}

LookupResult findBlockEntryForItem(const CacheArchive& archive, uint32_t itemIndex) {
  // The file header's block count bounds the scan and marks "no previous
  // entry"; the scan still stops at the end of the table if that is shorter.
  const uint32_t noPrevious = archive.fileHeader().blockCount;
  const uint32_t entryCount = archive.blockEntryCount();
  const uint32_t scanEnd = std::min(noPrevious, entryCount);
  for (uint32_t i = 0; i < scanEnd; ++i) {
    // i is below the table's size, so the entry is there.
    std::optional<BlockEntry> entry = archive.blockEntry(i);
    if (entry->entryFlags == kHiddenBlockEntryFlags || entry->directoryItemIndex != itemIndex)
      continue;
    // The first entry found may sit anywhere in the file's chain: walk back
    // to its head. A chain cannot be longer than the table.
    uint32_t current = i;
    for (uint64_t steps = 0; entry->previousBlockEntryIndex != noPrevious; ++steps) {
      uint32_t previous = entry->previousBlockEntryIndex;
      entry = archive.blockEntry(previous);
      if (!entry) {
        return {-1, damage_text::entryOutsideTable(current, "links back to", previous, entryCount)};
      }
      if (steps >= entryCount) return {-1, damage_text::entriesLinkBackInALoop(itemIndex)};
      current = previous;
    }
    return {current, {}};
  }
  return {};
}

}  // namespace vaultcat
