// The reports more than one command prints: damage, an output that could
// not be created or written, why the system failed, a cache cut short,
// and what a pass over a tree found the cache does not hold whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "archive/file_check.h"
#include "archive/status.h"
#include "front_end/text_output.h"
#include "platform/process/failure.h"

namespace vaultcat {

// The line that reports damage: "Corrupt file: <what>.\n".
std::string damageLine(std::string_view what);
// Prints damageLine(what).
void printDamage(std::string_view what, TextOutput& out);
// What an extraction says of an output at `path` that could not be
// created, or not written to the end, with `why` after it where given (the
// extract command says what it always said). Both answer false.
bool cannotCreate(std::string_view path, TextOutput& out, std::string_view why = {});
bool cannotWrite(std::string_view path, TextOutput& out, std::string_view why = {});
// Why the system layer failed, in words; empty for an interrupt, which the
// run ends by without a word.
std::string failureText(const platform::Failure& failure);
// Says, of a cache cut short, how much of it is missing.
void sayIfCut(const CacheArchive& archive, TextOutput& out);

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

}  // namespace vaultcat
