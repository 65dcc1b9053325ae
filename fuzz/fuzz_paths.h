// The ways a cache is read, run on bytes in memory: what `vaultcat l`
// does, and what `vaultcat a` and `vaultcat x` do for every item of the
// tree. Shared by the fuzzers and by the replay of saved inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vaultcat::fuzz {

struct PathReport {
  bool opened = false;
  std::string listingDamage;      // what the tree walk stopped at, if anything
  size_t items = 0;               // items the walk reached (extraction path)
  size_t pathsNotFound = 0;       // items whose own path led elsewhere or nowhere
  size_t lookupDamage = 0;        // path or block-entry lookups that met damage
  size_t extractions = 0;         // files whose whole data was written
  size_t extractionFailures = 0;  // files whose extraction stopped at damage
};

// Opens the cache, names it and lists its whole tree into a discarding
// output.
PathReport runListPath(std::span<const uint8_t> bytes);

// Opens the cache, plans the whole tree as `vaultcat a` does (aborting if
// the plan passes a path that leaves the destination, or one path twice),
// checks every file of it and writes those found whole (aborting if one
// cannot be written, or is written at another length than it records), and, for every item the plan
// reaches, looks up its full path and, where an item is found, its first block entry and the whole
// of its data, into a sink that refuses (and aborts the process on) any piece that does not lie
// inside `bytes` or ends past the furthest point a run can reach.
PathReport runExtractPath(std::span<const uint8_t> bytes);

}  // namespace vaultcat::fuzz
