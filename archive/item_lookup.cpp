#include "archive/item_lookup.h"

#include <algorithm>
#include <string_view>

#include "archive/damage_text.h"
#include "archive/tree_walk.h"
#include "platform/destination/names.h"

namespace vaultcat {

namespace {

char toAsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(std::string_view stored, std::string_view name) {
  return stored.size() == name.size() &&
         std::equal(stored.begin(), stored.end(), name.begin(),
                    [](char a, char b) { return toAsciiLower(a) == toAsciiLower(b); });
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

LookupResult findItemByPath(const CacheArchive& archive, std::string_view path,
                            std::vector<uint32_t>* trail) {
  // An empty path names nothing.
  if (path.empty()) return {};
  uint32_t folder = kRootItem;
  // The search for the first separator starts at the second character.
  size_t start = 0;
  size_t end = 1;
  while (true) {
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const bool last = end == path.size();
    LookupResult child = findChildByName(archive, path.substr(start, end - start), folder);
    if (child.found() && trail != nullptr) trail->push_back(*child.index);
    if (!child.found() || last) return child;
    folder = *child.index;
    start = end + 1;
    end = start;
  }
}

LookupResult findChildByName(const CacheArchive& archive, std::string_view name,
                             uint32_t folderIndex) {
  auto folder = archive.directoryEntry(folderIndex);
  if (!folder)
    return {std::nullopt, damage_text::folderOutsideDirectory(folderIndex, archive.itemCount())};
  LoopGuard guard(archive.itemCount());
  ChildIterator children(archive, folderIndex, folder->firstChildIndex, guard);
  LookupResult result;
  while (std::optional<Child> child = children.next(result.status)) {
    if (equalsIgnoringAsciiCase(child->name, name)) return {child->index, {}};
    // A name the system spells otherwise is found as it spells it too.
    if (const platform::Spelling spelled(child->name);
        spelled.converted() && equalsIgnoringAsciiCase(spelled.text(), name))
      return {child->index, {}};
  }
  return result;
}

namespace {

// The head of the chain that `entry` (which names `item`) is on: its
// previous entries followed back, as far as `guard` lets them be.
LookupResult headOfChain(const CacheArchive& archive, uint32_t entry, uint32_t item,
                         ChainGuard& guard) {
  const uint32_t noPrevious = archive.fileHeader().blockCount;
  const uint32_t entryCount = archive.blockEntryCount();
  uint32_t current = entry;
  // `entry` is below the table's size, so it is there.
  for (auto record = archive.blockEntry(entry); record->previousBlockEntryIndex != noPrevious;) {
    const uint32_t previous = record->previousBlockEntryIndex;
    record = archive.blockEntry(previous);
    if (!record) {
      return {std::nullopt,
              damage_text::entryOutsideTable(current, "links back to", previous, entryCount)};
    }
    if (!guard.stepBack(item, previous)) return {std::nullopt, guard.refusal()};
    current = previous;
  }
  return {current, {}};
}

// Where the scan for an item's entries stops: the file header's block count
// bounds it and marks "no previous entry"; the scan still stops at the end
// of the table if that is shorter.
uint32_t scanEnd(const CacheArchive& archive) {
  return std::min(archive.fileHeader().blockCount, archive.blockEntryCount());
}

bool namesItem(const BlockEntry& entry, uint32_t item) {
  return entry.entryFlags != kHiddenBlockEntryFlags && entry.directoryItemIndex == item;
}

}  // namespace

LookupResult findBlockEntryForItem(const CacheArchive& archive, uint32_t itemIndex) {
  for (uint32_t i = 0; i < scanEnd(archive); ++i) {
    // i is below the table's size, so the entry is there. The first entry
    // found may sit anywhere in the file's chain: walk back to its head.
    if (!namesItem(*archive.blockEntry(i), itemIndex)) continue;
    ChainBudget budget(archive);
    return headOfChain(archive, i, itemIndex, budget);
  }
  return {};
}

BlockEntryIndex::BlockEntryIndex(const CacheArchive& archive)
    : archive_(archive), first_(archive.itemCount(), archive.blockEntryCount()) {
  // Forward, in the order the table lies on disk: read backwards, a table
  // not in the page cache came in a page at a time, and checking the files
  // of a million items from disk took nine times as long as listing them.
  const uint32_t none = archive.blockEntryCount();
  for (uint32_t i = 0; i < scanEnd(archive); ++i) {
    const BlockEntry entry = *archive.blockEntry(i);
    if (entry.entryFlags != kHiddenBlockEntryFlags && entry.directoryItemIndex < first_.size() &&
        first_[entry.directoryItemIndex] == none)
      first_[entry.directoryItemIndex] = i;
  }
}

LookupResult BlockEntryIndex::headOf(uint32_t itemIndex, ChainGuard& guard) const {
  if (itemIndex >= first_.size() || first_[itemIndex] == archive_.blockEntryCount()) return {};
  return headOfChain(archive_, first_[itemIndex], itemIndex, guard);
}

}  // namespace vaultcat
