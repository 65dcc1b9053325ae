// The command dispatcher and the two commands.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "archive/cache_archive.h"
#include "archive/item_lookup.h"
#include "archive/status.h"
#include "archive/text_output.h"
#include "front_end/cache_titles.h"

namespace vaultcat {

// Runs one command line. `args` are the arguments after the program's own
// name. Everything the user reads goes to `out`; returns the exit status:
// 0 after the usage text, a listing or a successful extraction, 1 for every
// failure.
int runCommandLine(std::span<const std::string_view> args, TextOutput& out);

// The line that reports damage: "Corrupt file: <what>.\n".
std::string damageLine(std::string_view what);

// Steps of the two commands, shared with the fuzzers.
//
// What the list command prints on an open archive: the opening lines and
// identification, then the tree. The status says what stopped the tree, or
// that the cache changed while it was listed; the damage line is not printed.
Status printListing(const CacheArchive& archive, std::string_view archivePath,
                    const CacheTitleTable& titles, TextOutput& out);
// The extract command's lookups, each printing what the command prints on
// the way: the item at `itemPath` (at most kMaxPathLength characters), then
// the head of its chain of block entries. -1 when there is none, with the
// message (or the damage line) printed.
LookupResult findItem(const CacheArchive& archive, const char* itemPath, TextOutput& out);
LookupResult findFirstBlockEntry(const CacheArchive& archive, uint32_t item, const char* itemPath,
                                 TextOutput& out);

}  // namespace vaultcat
