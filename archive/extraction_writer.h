// Copying one file's bytes out of an open cache.
#pragma once

#include <cstdint>

#include "archive/cache_archive.h"
#include "archive/data_sink.h"
#include "archive/status.h"
#include "archive/text_output.h"

namespace vaultcat {

// Writes the file whose chain of block entries starts at `firstBlockEntry`:
// each run is placed at its own offset in `output` (so runs may come in any
// order, and regions no run covers read as zeros), and its data-block chain
// is copied straight from the cache. Prints a line for every block entry and
// every data block to `progress`. A first entry equal to the table's size
// names an empty chain: nothing is written. Stops at the first link that
// cannot be followed, once the pieces before it are handed out, or when the
// output fails.
//
// A chain longer than the cache could hold must loop: no file visits a
// block entry or a data block twice. Files extracted together share one
// `budget`, since in a sound cache no two files share an entry or a block
// either.
struct ChainBudget {
  uint64_t entriesLeft;
  uint64_t dataBlocksLeft;
  static ChainBudget of(const CacheArchive& archive);
};
Status writeFileData(const CacheArchive& archive, DataSink& output, uint32_t firstBlockEntry,
                     TextOutput& progress, ChainBudget* budget = nullptr);

}  // namespace vaultcat
