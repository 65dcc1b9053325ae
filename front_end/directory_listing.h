// The tree listing of the list command.
#pragma once

#include <cstdint>

#include "archive/cache_archive.h"
#include "archive/status.h"
#include "archive/text_output.h"

namespace vaultcat {

// Prints every item below `folderIndex`, depth first in stored sibling order:
// one line per item, indented by two spaces per level, folders ending in a
// backslash and followed at once by their contents. If the tree cannot be
// followed, the lines printed up to that point stay and the status says
// what is damaged.
Status listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out);

}  // namespace vaultcat
