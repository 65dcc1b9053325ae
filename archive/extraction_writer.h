// Copying one file's bytes out of an open cache.
#pragma once

#include <cstdint>

#include "archive/cache_archive.h"
#include "archive/chain_guard.h"
#include "archive/data_sink.h"
#include "archive/status.h"

namespace vaultcat {

// Writes the file whose chain of block entries starts at `firstBlockEntry`:
// each run is placed at its own offset in `output` (so runs may come in any
// order, and regions no run covers read as zeros), and its data-block chain
// is copied straight from the cache. `output` is told of every block entry
// and every data block as the copy meets them (DataSink::metRun, metBlock).
// A first entry equal to the table's size names an empty chain: nothing is
// written. Stops at the first link that cannot be followed, or at a step
// `guard` refuses (by default a budget of the file's own), once the pieces
// before it are handed out; or when the output fails.
Status writeFileData(const CacheArchive& archive, DataSink& output, uint32_t firstBlockEntry,
                     ChainGuard* guard = nullptr);

}  // namespace vaultcat
