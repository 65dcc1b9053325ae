// The tree listing of the list command.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "archive/cache_archive.h"
#include "archive/output.h"

namespace vaultcat {

// How deep folders may nest below the root. Real caches come from a platform
// whose paths stop at 260 characters, so anything deeper is damage.
inline constexpr uint32_t kMaxFolderDepth = 1000;

// Prints every item below `folderIndex`, depth first in stored sibling order:
// one line per item, indented by two spaces per level, folders ending in a
// backslash and followed at once by their contents. Returns what is damaged
// if the tree cannot be followed (a link outside the directory, a name
// outside the name table, a loop, folders nested too deep); the lines
// printed up to that point stay. Returns the empty text otherwise.
std::string listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out);

// One item reached by the walk behind the listing. `depth` is 0 for the
// children of the folder the walk started at.
struct WalkedItem {
  uint32_t index;
  uint64_t depth;
  std::string_view name;
  bool folder;
};

// The walk behind listDirectory: calls `visit` for every item in the order
// the listing prints them, and stops with the same damage text.
std::string walkDirectory(const CacheArchive& archive, uint32_t folderIndex,
                          const std::function<void(const WalkedItem&)>& visit);

}  // namespace vaultcat
