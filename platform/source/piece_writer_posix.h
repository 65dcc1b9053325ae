// What the piece writer keeps between calls on POSIX systems, shared by its
// parts: the held pieces and their order (piece_writer_posix.cpp), the
// batches through a buffer (piece_writer_buffers_posix.cpp) or through the
// ring (piece_writer_ring_posix.cpp), and the copies inside the kernel
// (piece_writer_kernel_copy_posix.cpp). Nothing else includes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/source/piece_writer.h"
#include "platform/source/read_ring_posix.h"

namespace vaultcat::platform {

struct PieceWriter::State {
  // The buffer that shorter pieces go through, small enough to stay in the
  // processor's cache between the read and the write: a 1 GiB file took
  // 0.38 s through 256 KiB and 0.67 s to 1.3 s through 1 MiB.
  static constexpr size_t kBufferSize = size_t{256} << 10;
  // The ring: the buffers whose reads are in flight at once, the most reads
  // that fill one, and writes that empty it (a file's 8 KiB blocks take 32
  // of either), and the fewest pieces in a row worth setting it up for.
  // From the page cache the reads are done as they are handed over, and
  // from the disk the system reads ahead of them anyway: the shuffled
  // gigabyte took as long with 1, 2 or 8 buffers, and a ring took 0.2 ms to
  // set up with 2, 0.8 ms with 8 (mostly the first touch of its buffers'
  // memory). It saved about 0.7 us a piece.
  static constexpr unsigned kRingBuffers = 2;
  static constexpr unsigned kMostMoves = 64;
  static constexpr size_t kRingLeast = 512;

  static constexpr WriteStatus kOutputFailed{WriteStatus::Kind::kOutputFailed};
  static constexpr WriteStatus kSourceUnreadable{WriteStatus::Kind::kSourceUnreadable};
  static constexpr WriteStatus kStopped{WriteStatus::Kind::kStopped};

  // A piece held back, and where it goes in the output.
  struct Held {
    Piece piece;
    uint64_t output;
  };
  // How far the held pieces are written: the piece, and its bytes done.
  struct Cursor {
    size_t index = 0;
    uint64_t done = 0;
  };
  // A transfer between a buffer and a file, the cache or the output.
  struct Move {
    uint64_t file;    // the offset in the file
    uint32_t staged;  // ... and in the buffer
    uint32_t length;
  };
  // What fills one buffer: the reads of the cache that bring its bytes in,
  // in as few calls as they lie together there, and the writes that take
  // them out, in as few as they lie together in the output.
  struct Batch {
    std::array<Move, kMostMoves> reads, writes;
    unsigned readCount = 0, writeCount = 0;
    uint32_t bytes = 0;
    unsigned pending = 0;  // reads still in the ring
    bool add(uint64_t from, uint64_t to, uint32_t length);
  };
  // The batches in the ring's buffers, oldest first, from buffer `first` on.
  struct RingQueue {
    unsigned first = 0;
    unsigned busy = 0;
    void pop() {
      first = (first + 1) % kRingBuffers;
      --busy;
    }
  };

  explicit State(const SourceFile& from) : source(from) {}
  ~State() { stopSplicing(); }

  // The held pieces and their order.
  WriteStatus writeHeld();
  void order();
  bool inPageCache() const;
  void reserve(std::span<const Held> byOutput) const;
  WriteStatus stopped() const;
  bool copiesInKernel(Piece piece) const;
  // Through a buffer.
  void fill(Batch& batch, Cursor& at, size_t end) const;
  WriteStatus moveThroughBuffers(Cursor& at, size_t end);
  std::byte* bufferReady();
  WriteStatus throughBuffer(const Batch& batch);
  WriteStatus readBatch(const Batch& batch, std::byte* into);
  WriteStatus writeBatch(const Batch& batch, const std::byte* from);
  bool readIntoBuffer(Piece piece, std::byte* into);
  bool writeBytes(uint64_t offset, const std::byte* bytes, size_t length);
  // Through the ring.
  bool ringReady();
  WriteStatus moveThroughRing(Cursor& at, size_t end);
  void queueReads(RingQueue& queue, Cursor& at, size_t end);
  WriteStatus takeCompletions();
  WriteStatus writeCompleted(RingQueue& queue);
  WriteStatus leaveRing(RingQueue& queue);
  WriteStatus settle(WriteStatus status);
  void dropRing();
  // Inside the kernel.
  WriteStatus copyFileRange(Piece piece, uint64_t offset, uint64_t& done);
  WriteStatus spliceThroughPipe(Piece piece, uint64_t offset, uint64_t& done);
  void stopSplicing();

  const SourceFile& source;
  int output = -1;
  std::unique_ptr<std::byte[]> buffer;
  bool kernelCopies = true;  // the system copies between these files itself
  bool splices = true;       // ... or through a pipe
  int pipe[2] = {-1, -1};    // that pipe, once made
  std::vector<Held> held;
  bool resident = true;  // the held pieces are in the page cache
  std::unique_ptr<ReadRing> ring;
  std::unique_ptr<Batch[]> inRing;  // the batch of each of the ring's buffers
  bool ringRefused = false;         // the system gives no ring, or refuses its calls

  // What the system answers where it cannot do a kind of call for these
  // files at all (copy between them, read them through the ring); the
  // bytes then go through the buffer.
  static bool refusedBySystem(int error);
};

}  // namespace vaultcat::platform
