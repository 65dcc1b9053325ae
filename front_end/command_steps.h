// The steps the commands share: opening the cache, what they print first,
// their arguments, and finding the items they take out. The fuzzers run
// some of these steps on bytes in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/item_lookup.h"
#include "front_end/cache_titles.h"
#include "front_end/reports.h"
#include "front_end/text_output.h"

namespace vaultcat {

// The exit statuses of the commands.
inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
// What a check or a salvage answers when the cache lacks some files, or
// holds them damaged.
inline constexpr int kNotAllWhole = 2;

// Opens the archive; on failure says why. A command that reads files
// through their maps opens a cache cut short too (CacheArchive::Extent).
bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out,
                 CacheArchive::Extent extent = CacheArchive::Extent::kWhole);
// What every command prints first on an open archive: the path, and what
// the cache holds.
void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out);
// What an extraction that did not complete says once standard output can
// no longer be written (its reader went away): on standard error, that it
// stopped and changed nothing. Answers `status`.
int sayIfOutputLost(int status, TextOutput& out);

// The first argument after the command word, the cache's path, of a
// command that needs no other; nothing, with the message printed, if there
// is none.
std::optional<std::string> cacheArgument(std::span<const std::string_view> args, TextOutput& out);

// The arguments of a command that takes items out of the cache:
// `gcf_file item dir`, or with `several`, `gcf_file item... dir`.
struct ItemArguments {
  std::string archivePath;
  std::vector<std::string_view> itemPaths;  // each at most kMaxPathLength characters
  std::string destination;
};
// The arguments after the command word, or nothing, with the message
// printed, if there are too few or an item path is too long. `item` says
// what the item is in that message: "the file to extract", "a folder to
// extract". One item takes the arguments after it no further; several
// take every argument to the last, which is the destination.
std::optional<ItemArguments> itemArguments(std::span<const std::string_view> args,
                                           std::string_view item, bool several, TextOutput& out);
// A lookup's answer, with what it means printed when it found nothing: the
// damage line, or `missing`.
template <class... Parts>
LookupResult reported(LookupResult result, TextOutput& out, const Parts&... missing) {
  if (!result.status.ok()) {
    printDamage(result.status.damage, out);
  } else if (!result.found()) {
    out.print(missing...);
  }
  return result;
}
// The item at `itemPath`; nothing found when there is none, with the
// message (or the damage line) printed. `trail`, if given, receives the items the path
// leads through, as findItemByPath() gives them.
LookupResult findItem(const CacheArchive& archive, std::string_view itemPath, TextOutput& out,
                      std::vector<uint32_t>* trail = nullptr);
// The extract command's second lookup: the head of the item's chain of
// block entries; nothing found when there is none, with the message (or
// the damage line) printed.
LookupResult findFirstBlockEntry(const CacheArchive& archive, uint32_t item,
                                 std::string_view itemPath, TextOutput& out);

// The items the path of `folder` leads through, for a command that takes a
// folder: none for the root. Separators at either end name nothing, so
// "docs/", "/docs" and "docs" are one folder, and "/", "\" or "" the root.
// Nothing, with the message printed, when the path finds no item.
std::optional<std::vector<uint32_t>> findFolder(const CacheArchive& archive,
                                                std::string_view folder, TextOutput& out);

}  // namespace vaultcat
