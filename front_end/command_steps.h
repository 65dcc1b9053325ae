// Steps the commands share: opening the cache, what they print first, and
// how they say a cache is damaged.
#pragma once

#include <string>
#include <string_view>

#include "archive/cache_archive.h"
#include "archive/text_output.h"
#include "front_end/cache_titles.h"

namespace vaultcat {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;

// Opens the archive; on failure says why.
bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out);
// What every command prints first on an open archive: the path, and what
// the cache holds.
void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out);
// "Corrupt file: <what>."
void printDamage(std::string_view what, TextOutput& out);

// The tree command: `a gcf_file folder dir`.
int treeCommand(std::span<const std::string_view> args, CacheArchive& archive,
                const CacheTitleTable& titles, TextOutput& out);

}  // namespace vaultcat
