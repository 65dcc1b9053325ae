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
// cannot be followed, or when the output fails.
Status writeFileData(const CacheArchive& archive, DataSink& output, uint32_t firstBlockEntry,
                     TextOutput& progress);

// The state of one extraction that outlives a single run: how many more
// data blocks may be visited before the chains must be looping.
struct ChainBudget {
  uint64_t dataBlocksLeft;
};

// Copies one run: follows the data-block chain from `firstDataBlockIndex`
// until 0xFFFF, each block giving the file header's block size in bytes,
// until `runSize` bytes are written; blocks past that point give nothing but
// their progress line. A chain that ends early leaves the run short.
Status writeFragmentChain(const CacheArchive& archive, DataSink& output, uint64_t runOffset,
                          uint32_t firstDataBlockIndex, uint32_t runSize, ChainBudget& budget,
                          TextOutput& progress);

}  // namespace vaultcat
