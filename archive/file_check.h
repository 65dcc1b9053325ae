// Whether a cache holds the whole of a file, found from its tables alone
// (the directory entry, the block entries and the fragmentation map), never
// from its data blocks: a file of any size is checked at the cost of its
// chains.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/chain_guard.h"
#include "archive/item_lookup.h"
#include "archive/status.h"

namespace vaultcat {

struct FileState {
  enum class Kind {
    kWhole,       // its chains give exactly the bytes its directory entry records
    kIncomplete,  // they give fewer, each where it belongs: the cache never held the rest
    kDamaged,     // a record, index or chain is broken; `damage` says which
  };
  Kind kind = Kind::kWhole;
  uint32_t recordedSize = 0;  // what its directory entry records
  uint64_t heldBytes = 0;     // how many of those its chains give; 0 if damaged
  Status damage;

  bool whole() const { return kind == Kind::kWhole; }
};

// A range of bytes of a file.
struct FileRange {
  uint64_t offset = 0;
  uint64_t length = 0;

  bool operator==(const FileRange&) const = default;
};

// Checks the files of one open cache, one after another.
class FileChecker {
 public:
  explicit FileChecker(const CacheArchive& archive);

  // The state of file `item`. It is damaged where a link cannot be followed
  // (as extraction would find it), where its chains loop or reach a block
  // entry or data block of a file checked before it, where its runs
  // overlap, or where they give bytes past its recorded size. A file with
  // no block entries holds no bytes: whole if its recorded size is 0.
  FileState check(uint32_t item);
  // The ranges of the file last checked that the cache holds, in order of
  // offset, none touching the next: what a reader of the file can be given.
  // None for a damaged file, of which no byte can be vouched for.
  std::span<const FileRange> held() const { return held_; }

 private:
  FileState damaged(Status damage, uint32_t recordedSize);
  std::optional<uint64_t> normaliseHeld();

  const CacheArchive& archive_;
  BlockEntryIndex index_;
  ChainOwners owners_;
  std::vector<FileRange> held_;
};

}  // namespace vaultcat
