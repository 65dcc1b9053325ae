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
  uint64_t partFiles = 0;  // incomplete, and written in part

  void file(std::string_view path, const FileState& state, TextOutput& out);
  // An incomplete file written in part: `joined` to the part at its place.
  void part(std::string_view path, const FileState& state, bool joined, TextOutput& out);
  // An incomplete file whose part is not written, since the file at its
  // place holds every byte the cache does (`holdsThem`), or others: that
  // file is left as it is.
  void partKept(std::string_view path, const FileState& state, bool holdsThem, TextOutput& out);
  // A folder whose contents cannot all be followed ("" is the root).
  void folder(std::string_view path, const Status& damage, TextOutput& out);
  // An item whose name or path this system cannot take, and why: left out
  // of a salvage, a folder with all it holds.
  void unwritable(std::string_view path, bool folder, std::string_view why, TextOutput& out);
  bool none() const {
    return damagedFiles + incompleteFiles + damagedFolders + unwritableFiles + unwritableFolders +
               partFiles ==
           0;
  }
  // "1 damaged file, 2 incomplete files and 1 damaged folder"
  std::string counts() const;
  // What a salvage says of them after its summary: "left out 1 damaged
  // file; wrote 1 file in part", either part alone where the other is none.
  std::string outcome() const;
};
// " file" or " files", and so on.
std::string plural(uint64_t count, std::string_view word);

}  // namespace vaultcat
