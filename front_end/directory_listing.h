// The tree listing of the list command.
#pragma once

#include <cstdint>
#include <string_view>

#include "archive/cache_archive.h"
#include "archive/status.h"
#include "front_end/cache_titles.h"
#include "front_end/text_output.h"

namespace vaultcat {

// Prints every item below `folderIndex`, depth first in stored sibling order:
// one line per item, indented by two spaces per level, folders ending in a
// backslash and followed at once by their contents. If the tree cannot be
// followed, the lines printed up to that point stay and the status says
// what is damaged.
Status listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out);

// What the list command prints on an open archive: the opening lines and
// identification, then the tree. The status says what stopped the tree, or
// that the cache changed while it was listed; the damage line is not printed.
Status printListing(const CacheArchive& archive, std::string_view archivePath,
                    const CacheTitleTable& titles, TextOutput& out);

}  // namespace vaultcat
