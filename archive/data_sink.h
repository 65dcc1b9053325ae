// Where the bytes of an extracted file go: the output file, or a sink of a
// test or fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/status.h"

namespace vaultcat {

// Bytes of the cache, handed to a sink in place.
using Piece = std::span<const std::byte>;

class DataSink {
 public:
  virtual ~DataSink() = default;
  // Writes the pieces one after another, the first at `offset` from the
  // start of the output. Regions never written, below the highest byte
  // written, read as zeros. Answers kOutputFailed if the output refused
  // bytes, kCacheUnreadable if the pieces could not be read. An output
  // that reads them from a disk may hold them back, to read many in the
  // order they lie in the cache, until flush(), which answers for them.
  virtual Status writeAt(uint64_t offset, std::span<const Piece> pieces) = 0;
  virtual Status flush() { return {}; }
};

}  // namespace vaultcat
