// Where the bytes of an extracted file go: the output file, or a sink of a
// test or fuzzer.
#pragma once

#include <cstdint>
#include <span>

#include "archive/status.h"
#include "platform/source/piece.h"

namespace vaultcat {

// The pieces a sink takes say where their bytes lie in the cache; a sink
// that needs the bytes themselves asks the archive (bytesOf()).
class DataSink {
 public:
  virtual ~DataSink() = default;
  // Writes the pieces one after another, the first at `offset` from the
  // start of the output. Regions never written, below the highest byte
  // written, read as zeros. Answers kOutputFailed if the output refused
  // bytes, kCacheUnreadable if the pieces could not be read. An output
  // that reads them from a disk may hold them back, to read many in the
  // order they lie in the cache, until flush(), which answers for them.
  virtual Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) = 0;
  virtual Status flush() { return {}; }

  // Told of each block entry of the file's chain (its index, and where its
  // run starts in the file and how long it is), and then of each data block
  // of the run (its index, and the bytes it gives the run: 0 past the
  // run's end), as the copy meets them, before any of their bytes are
  // handed on: for a sink whose user follows the copy block by block.
  virtual void metRun(uint32_t /*entry*/, uint32_t /*offset*/, uint32_t /*size*/) {}
  virtual void metBlock(uint32_t /*block*/, uint32_t /*bytes*/) {}
};

}  // namespace vaultcat
