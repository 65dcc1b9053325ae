#include "archive/item_lookup.h"

#include <algorithm>
#include <string_view>

#include "archive/damage_text.h"

namespace vaultcat {

namespace {

LookupResult damaged(std::string what) { return {-1, std::move(what)}; }

char foldAsciiUpper(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view stored, const char* name) {
  for (char c : stored) {
    if (*name == '\0' || foldAsciiUpper(c) != foldAsciiUpper(*name)) return false;
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
  const uint32_t itemCount = archive.itemCount();
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder) {
    return damaged(damage_text::folderOutsideDirectory(folderIndex, itemCount));
  }
  uint32_t from = folderIndex;
  // A folder cannot hold more items than the directory has; a longer list
  // of siblings loops.
  uint64_t steps = 0;
  for (uint32_t child = folder->firstChildIndex; child != 0;) {
    auto entry = archive.directoryEntry(child);
    if (!entry) {
      return damaged(damage_text::itemOutsideDirectory(from, child, itemCount));
    }
    if (++steps > itemCount) {
      return damaged("the items in folder " + std::to_string(folderIndex) + " link in a loop");
    }
    auto childName = archive.itemName(child);
    if (!childName) {
      return damaged(damage_text::badItemName(child));
    }
    if (equalsIgnoringAsciiCase(*childName, name)) return {child, {}};
    from = child;
    child = entry->nextSiblingIndex;
  }
  return {};
}

LookupResult findBlockEntryForItem(const CacheArchive& archive, uint32_t itemIndex) {
  // The file header's block count bounds the scan and marks "no previous
  // entry"; the scan still stops at the end of the table if that is shorter.
  const uint32_t noPrevious = archive.fileHeader().blockCount;
  const uint32_t entryCount = archive.blockEntryCount();
  const uint32_t scanEnd = std::min(noPrevious, entryCount);
  for (uint32_t i = 0; i < scanEnd; ++i) {
    auto entry = archive.blockEntry(i);
    if (entry->entryFlags == kHiddenBlockEntryFlags || entry->directoryItemIndex != itemIndex)
      continue;
    // The first entry found may sit anywhere in the file's chain: walk back
    // to its head. A chain cannot be longer than the table.
    uint32_t current = i;
    for (uint64_t steps = 0; entry->previousBlockEntryIndex != noPrevious; ++steps) {
      uint32_t previous = entry->previousBlockEntryIndex;
      entry = archive.blockEntry(previous);
      if (!entry) {
        return damaged(
            damage_text::entryOutsideTable(current, "links back to", previous, entryCount));
      }
      if (steps >= entryCount) {
        return damaged("the block entries of item " + std::to_string(itemIndex) +
                       " link back in a loop");
      }
      current = previous;
    }
    return {current, {}};
  }
  return {};
}

}  // namespace vaultcat
