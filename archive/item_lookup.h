// Finding items by path, and a file's first block entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/chain_guard.h"
#include "archive/status.h"

namespace vaultcat {

// The answer of a lookup: the index found, or nothing when nothing
// matches; `status` says what is damaged when a link read from the file
// could not be followed, and nothing is found then.
struct LookupResult {
  std::optional<uint32_t> index;
  Status status;

  bool found() const { return index.has_value(); }
};

// Resolves a path inside the cache to a directory item. Components are
// separated by '/' or '\', freely mixed, except that the path's first
// character always belongs to the first component (so "/a" names a root
// child called "/a"). An empty component is looked up like any other name.
// Intermediate components are not required to be folders. `trail`, if
// given, receives the item each component found, in order.
LookupResult findItemByPath(const CacheArchive& archive, std::string_view path,
                            std::vector<uint32_t>* trail = nullptr);

// The first child of `folderIndex`, in stored order, whose name equals
// `name` when the letters A to Z are folded to a to z (all other bytes must
// match exactly).
LookupResult findChildByName(const CacheArchive& archive, std::string_view name,
                             uint32_t folderIndex);

// The head of the chain of block entries holding the item's data: the first
// entry in table order that names the item (entries flagged 0x200F0000 are
// skipped), followed back to the entry that has no previous one. Nothing
// for a folder, which owns no block entries.
LookupResult findBlockEntryForItem(const CacheArchive& archive, uint32_t itemIndex);

// What findBlockEntryForItem() answers, for many items at the cost of one
// pass over the table: for a whole tree of files. Each walk back asks
// `guard` before every step.
class BlockEntryIndex {
 public:
  explicit BlockEntryIndex(const CacheArchive& archive);
  LookupResult headOf(uint32_t itemIndex, ChainGuard& guard) const;

 private:
  const CacheArchive& archive_;
  std::vector<uint32_t> first_;  // the first entry naming each item, or the table's size
};

}  // namespace vaultcat
