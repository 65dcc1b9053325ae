// Finding items by path, and a file's first block entry.
#pragma once

#include <cstdint>

#include "archive/cache_archive.h"
#include "archive/status.h"

namespace vaultcat {

// The answer of a lookup: an index, or -1 when nothing matches; `status`
// says what is damaged when a link read from the file could not be followed.
struct LookupResult {
  int64_t index = -1;
  Status status;

  bool found() const { return index >= 0; }
};

// Resolves a path inside the cache to a directory item. Components are
// separated by '/' or '\', freely mixed, except that the path's first
// character always belongs to the first component (so "/a" names a root
// child called "/a"). An empty component is looked up like any other name.
// Intermediate components are not required to be folders. The path is cut
// into components in place: pass a copy that may be changed.
LookupResult findItemByPath(const CacheArchive& archive, char* path);

// The first child of `folderIndex`, in stored order, whose name equals
// `name` when the letters A to Z are folded to a to z (all other bytes must
// match exactly).
LookupResult findChildByName(const CacheArchive& archive, const char* name, uint32_t folderIndex);

// The head of the chain of block entries holding the item's data: the first
// entry in table order that names the item (entries flagged 0x200F0000 are
// skipped), followed back to the entry that has no previous one. -1 for a
// folder, which owns no block entries.
LookupResult findBlockEntryForItem(const CacheArchive& archive, uint32_t itemIndex);

}  // namespace vaultcat
