// How the bytes of an extracted file reach it on POSIX systems: pieces of
// the mapped cache are moved from the cache's descriptor to the output's,
// inside the kernel where it can, and through a small staging buffer where
// it cannot; where the cache must come from the disk, in the order they lie
// in it. Pieces of ordinary memory (tests, fuzzing) go through the staging
// buffer at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/mapped_file.h"
#include "platform/output_file.h"

namespace vaultcat::platform {

class KernelCopy {
 public:
  // `source` is the mapped cache the pieces come from, or null.
  KernelCopy(int output, const MappedFile* source) : output_(output), source_(source) {}
  // Writes to another file from here on, keeping the buffer and the pipe
  // (but nothing held back for the last).
  void setOutput(int output) {
    output_ = output;
    held_.clear();
  }
  ~KernelCopy();
  KernelCopy(const KernelCopy&) = delete;
  KernelCopy& operator=(const KernelCopy&) = delete;

  // Writes the pieces one after another from `offset` on. Pieces of the
  // source may be held back, to be written with others in the order they
  // lie in the source, by flush() at the latest; a failure to write them
  // is told then.
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  WriteStatus flush();

  // A piece of the source held back: where it lies there, its length, and
  // where it goes in the output.
  struct Held {
    uint64_t source, length, output;
  };

 private:
  Piece pieceOf(const Held& held) const;
  bool inPageCache(std::span<const Held> held) const;
  void reserve(std::span<const Held> byOutput) const;
  WriteStatus writeInCacheOrder();
  WriteStatus writeAsTheyCame();
  WriteStatus writeInOrder(uint64_t offset, std::span<const Piece> pieces);
  WriteStatus writeStagedGroup(std::span<const Held> group);
  std::optional<uint64_t> sourceOffset(Piece piece) const;
  bool readSource(Piece piece, char* into);
  WriteStatus copyFileRange(Piece piece, uint64_t offset, uint64_t& done);
  WriteStatus spliceThroughPipe(Piece piece, uint64_t offset, uint64_t& done);
  void stopSplicing();
  bool writeStaged(uint64_t offset, size_t from, size_t length);

  int output_;
  const MappedFile* source_;
  std::unique_ptr<char[]> staging_;
  bool copyFileRange_ = true;  // the system copies between these files itself
  bool splice_ = true;         // ... or through a pipe
  int pipe_[2] = {-1, -1};     // that pipe, once made
  std::vector<Held> held_;
};

}  // namespace vaultcat::platform
