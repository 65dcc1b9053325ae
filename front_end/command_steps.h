// The commands, and the steps they share: opening the cache, what they
// print first, finding the item they take out, and how they say a cache is
// damaged. The fuzzers run some of these steps on bytes in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "archive/status.h"
#include "archive/text_output.h"
#include "front_end/cache_titles.h"
#include "front_end/command_line.h"
#include "platform/process/failure.h"

namespace vaultcat {

inline constexpr int kSuccess = 0;
inline constexpr int kFailure = 1;
// What a check or a salvage answers when the cache lacks some files, or
// holds them damaged.
inline constexpr int kNotAllWhole = 2;

// The commands, one file each. Each takes the whole command line, its own
// word first, and answers the exit status.
int listCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out);  // l gcf_file
int extractCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                   TextOutput& out);  // x gcf_file file dir
int treeCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out);  // a gcf_file folder dir
int checkCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                 TextOutput& out);  // t gcf_file [folder]
int mountCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                 TextOutput& out);  // m gcf_file mountpoint

// Opens the archive; on failure says why. A command that reads files
// through their maps opens a cache cut short too (CacheArchive::Extent).
bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out,
                 CacheArchive::Extent extent = CacheArchive::Extent::kWhole);
// Says, of a cache cut short, how much of it is missing.
void sayIfCut(const CacheArchive& archive, TextOutput& out);
// What every command prints first on an open archive: the path, and what
// the cache holds.
void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out);
// "Corrupt file: <what>."
void printDamage(std::string_view what, TextOutput& out);
// What an extraction says of an output at `path` that could not be
// created, or not written to the end, with `why` after it where given (the
// extract command says what it always said). Both answer false.
bool cannotCreate(std::string_view path, TextOutput& out, std::string_view why = {});
bool cannotWrite(std::string_view path, TextOutput& out, std::string_view why = {});
// Why the system layer failed, in words; empty for an interrupt, which the
// run ends by without a word.
std::string failureText(const platform::Failure& failure);
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
// The item at `itemPath`; -1 when there is none, with the message (or the
// damage line) printed. `trail`, if given, receives the items the path
// leads through, as findItemByPath() gives them.
LookupResult findItem(const CacheArchive& archive, std::string_view itemPath, TextOutput& out,
                      std::vector<uint32_t>* trail = nullptr);

// The items the path of `folder` leads through, for a command that takes a
// folder: none for the root. Separators at either end name nothing, so
// "docs/", "/docs" and "docs" are one folder, and "/", "\" or "" the root.
// Nothing, with the message printed, when the path finds no item.
std::optional<std::vector<uint32_t>> findFolder(const CacheArchive& archive,
                                                std::string_view folder, TextOutput& out);

// What a pass over a tree found the cache does not hold whole: each file
// and folder named on a line of its own, by its path as the tree command
// writes it, with what is wrong, and counted.
struct Shortfall {
  uint64_t damagedFiles = 0, incompleteFiles = 0, damagedFolders = 0;
  uint64_t unwritableFiles = 0, unwritableFolders = 0;

  void file(std::string_view path, const FileState& state, TextOutput& out);
  // A folder whose contents cannot all be followed ("" is the root).
  void folder(std::string_view path, const Status& damage, TextOutput& out);
  // An item whose name or path this system cannot take, and why: left out
  // of a salvage, a folder with all it holds.
  void unwritable(std::string_view path, bool folder, std::string_view why, TextOutput& out);
  bool none() const {
    return damagedFiles + incompleteFiles + damagedFolders + unwritableFiles + unwritableFolders ==
           0;
  }
  // "1 damaged file, 2 incomplete files and 1 damaged folder"
  std::string counts() const;
};
// " file" or " files", and so on.
std::string plural(uint64_t count, std::string_view word);

// What the list command prints on an open archive: the opening lines and
// identification, then the tree. The status says what stopped the tree, or
// that the cache changed while it was listed; the damage line is not printed.
Status printListing(const CacheArchive& archive, std::string_view archivePath,
                    const CacheTitleTable& titles, TextOutput& out);
// The extract command's second lookup: the head of the item's chain of
// block entries. -1 when there is none, with the message (or the damage
// line) printed.
LookupResult findFirstBlockEntry(const CacheArchive& archive, uint32_t item,
                                 std::string_view itemPath, TextOutput& out);

}  // namespace vaultcat
