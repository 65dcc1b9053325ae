// What a cache holds of a file, found from its tables alone (the directory
// entry, the block entries and the fragmentation map), never from its data
// blocks: whether the file is whole, incomplete or damaged, and where each
// byte it holds lies in the cache. Every command but `x`, which copies the
// runs as it meets them, reads a file through this one map.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/chain_guard.h"
#include "archive/data_sink.h"
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

// Bytes [offset, offset + length) of a file lie at `at` in the cache file.
struct FileExtent {
  uint64_t offset = 0;
  uint64_t at = 0;
  uint64_t length = 0;

  uint64_t end() const { return offset + length; }
  bool operator==(const FileExtent&) const = default;
};

// One file's map, kept: what a reader of the file at any offset is given.
class FileMap {
 public:
  FileMap(const FileState& state, std::span<const FileExtent> extents)
      : state_(state), extents_(extents.begin(), extents.end()) {}

  const FileState& state() const { return state_; }
  // Appends the pieces of the cache that hold bytes [offset, offset +
  // length) of the file, in order, stopping at its recorded end. False at
  // the first of those bytes the map does not hold, with the pieces before
  // it: a part the cache lacks, or any byte of a damaged file.
  bool pieces(uint64_t offset, uint64_t length, std::vector<platform::Piece>& out) const;

 private:
  FileState state_;
  std::vector<FileExtent> extents_;
};

// Writes the bytes the extents give to `output`, each at its offset, as
// the extraction writer hands pieces out; then flushes it.
Status writeExtents(std::span<const FileExtent> extents, DataSink& output);

// Maps the files of one open cache, one after another.
class FileChecker {
 public:
  explicit FileChecker(const CacheArchive& archive);

  // The state of file `item`. It is damaged where a link cannot be followed
  // (as extraction would find it), where its chains loop or reach a block
  // entry or data block of a file mapped before it, where its runs
  // overlap, or where they give bytes past its recorded size. A file with
  // no block entries holds no bytes: whole if its recorded size is 0. A
  // data block a cache cut short lacks leaves its bytes out.
  FileState check(uint32_t item);
  // Where the bytes of the file last checked lie, in order of offset, none
  // overlapping: all a reader of the file can be given, and for a whole
  // file every byte of it. None for a damaged file, of which no byte can
  // be vouched for.
  std::span<const FileExtent> extents() const { return extents_; }

 private:
  FileState damaged(Status damage, uint32_t recordedSize);
  std::optional<uint64_t> normaliseExtents();

  const CacheArchive& archive_;
  BlockEntryIndex index_;
  ChainOwners owners_;
  std::vector<FileExtent> extents_;
};

}  // namespace vaultcat
