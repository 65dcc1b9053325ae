// How the bytes of an extracted file reach it on POSIX systems: pieces of
// the mapped cache are moved from the cache's descriptor to the output's,
// inside the kernel where it can, and through a small staging buffer where
// it cannot. Pieces of ordinary memory (tests, fuzzing) go through the
// staging buffer too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/mapped_file.h"
#include "platform/output_file.h"

namespace vaultcat::platform {

class KernelCopy {
 public:
  // `source` is the mapped cache the pieces come from, or null.
  KernelCopy(int output, const MappedFile* source) : output_(output), source_(source) {}
  // Writes to another file from here on, keeping the buffer and the pipe.
  void setOutput(int output) { output_ = output; }
  ~KernelCopy();
  KernelCopy(const KernelCopy&) = delete;
  KernelCopy& operator=(const KernelCopy&) = delete;

  // Writes the pieces one after another from `offset` on.
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  // Asks the disk for these bytes of the source at once, where they are
  // not in the page cache yet.
  void prefetch(std::span<const Piece> spans) const;

 private:
  std::optional<uint64_t> sourceOffset(Piece piece) const;
  bool readSource(Piece piece, char* into, std::span<const Piece> coming);
  void adviseAhead(int fd, std::span<const Piece> coming);
  WriteStatus copyFileRange(Piece piece, uint64_t offset, uint64_t& done);
  WriteStatus spliceThroughPipe(Piece piece, uint64_t offset, uint64_t& done);
  void stopSplicing();
  bool writeStaged(uint64_t offset, size_t length);

  int output_;
  const MappedFile* source_;
  std::unique_ptr<char[]> staging_;
  bool copyFileRange_ = true;         // the system copies between these files itself
  bool splice_ = true;                // ... or through a pipe
  int pipe_[2] = {-1, -1};            // that pipe, once made
  bool tryWithoutWaiting_ = true;     // reads that would wait for the disk can be told
  const Piece* unadvised_ = nullptr;  // the first piece of a write not yet asked of the disk
};

}  // namespace vaultcat::platform
