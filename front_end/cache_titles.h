// Naming the content of a cache from its cache ID.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "archive/cache_archive.h"
#include "front_end/text_output.h"

namespace vaultcat {

// Known cache IDs and the content they hold, in ascending order of ID.
using CacheTitleTable = std::map<uint32_t, std::string>;

// Puts the built-in rows into the table.
void fillCacheTitles(CacheTitleTable& titles);

// Prints which content the open archive holds, or, for an ID the table
// lacks, asks the user to report it. `archivePath` is the path the archive
// was opened from, as the user gave it.
void identifyCache(const CacheTitleTable& titles, const CacheArchive& archive,
                   std::string_view archivePath, TextOutput& out);

}  // namespace vaultcat
