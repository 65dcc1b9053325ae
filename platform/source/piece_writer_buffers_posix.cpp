// The piece writer's batches through a buffer, on POSIX systems: the
// pieces are read from the cache into the buffer, each from where the cache
// holds it, and written out in one call per run of them that lies together
// in the output. From the page cache, the reads that fill a buffer are
// handed to the system together, through io_uring where it allows
// (piece_writer_ring_posix.cpp), instead of a call each: the shuffled
// gigabyte of 8 KiB blocks took 0.44 s, 0.56 s a call each and cat 0.32 s
// of the same bytes in one piece (medians of 11 paired runs on 2 busy
// cores). What is left is the copy through the buffer, which cat does not
// make. The ways around it tried here: writing straight from the mapping
// was about as fast (0.61 s against 0.67 s in a busier run), but kept
// every page it touched resident, a gigabyte for the gigabyte, and letting
// them go every 8 MiB still left 900 MiB (and took 0.80 s); splicing each
// block through a pipe took twice as long as reading it; handing the
// writes to io_uring's workers too took 0.45 s against 0.37 s.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/process/io_posix.h"
#include "platform/source/piece_writer_posix.h"

namespace vaultcat::platform {

bool PieceWriter::State::Batch::add(uint64_t from, uint64_t to, uint32_t length) {
  if (length == 0) return true;
  const auto joins = [](const Move& last, uint64_t at) { return last.file + last.length == at; };
  const bool readJoins = readCount > 0 && joins(reads[readCount - 1], from);
  const bool writeJoins = writeCount > 0 && joins(writes[writeCount - 1], to);
  if ((!readJoins && readCount == kMostMoves) || (!writeJoins && writeCount == kMostMoves))
    return false;
  if (readJoins)
    reads[readCount - 1].length += length;
  else
    reads[readCount++] = {from, bytes, length};
  if (writeJoins)
    writes[writeCount - 1].length += length;
  else
    writes[writeCount++] = {to, bytes, length};
  bytes += length;
  return true;
}

// Fills `batch` with the held pieces from `at` on, up to `end` at the most,
// and moves `at` past them.
void PieceWriter::State::fill(Batch& batch, Cursor& at, size_t end) const {
  batch.readCount = batch.writeCount = batch.bytes = 0;
  while (at.index < end && batch.bytes < kBufferSize) {
    const Held& next = held[at.index];
    const auto length = static_cast<uint32_t>(
        std::min<uint64_t>(next.piece.length - at.done, kBufferSize - batch.bytes));
    if (!batch.add(next.piece.offset + at.done, next.output + at.done, length)) return;
    at.done += length;
    if (at.done == next.piece.length) at = {at.index + 1, 0};
  }
}

// The held pieces from `at` to `end`, through buffers: many of them read at
// once through the ring where it is worth setting up, the rest with a call
// each. From the disk, the system reads ahead of the pieces read in the
// cache's order, which then lie together there, a buffer's worth a call:
// the ring has no calls to save, and its reads of what is not in memory yet
// cost more (the shuffled gigabyte, cold: 0.81 s against 0.72 s).
WriteStatus PieceWriter::State::moveThroughBuffers(Cursor& at, size_t end) {
  if (resident && end - at.index >= kRingLeast && ringReady()) {
    if (WriteStatus status = moveThroughRing(at, end); !status.ok()) return status;
  }
  Batch batch;
  while (at.index < end) {
    if (WriteStatus status = stopped(); !status.ok()) return status;
    fill(batch, at, end);
    if (WriteStatus status = throughBuffer(batch); !status.ok()) return status;
  }
  return {};
}

std::byte* PieceWriter::State::bufferReady() {
  if (buffer == nullptr) buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  return buffer.get();
}

WriteStatus PieceWriter::State::throughBuffer(const Batch& batch) {
  std::byte* staging = bufferReady();
  const WriteStatus status = readBatch(batch, staging);
  return status.ok() ? writeBatch(batch, staging) : status;
}

WriteStatus PieceWriter::State::readBatch(const Batch& batch, std::byte* into) {
  for (unsigned i = 0; i < batch.readCount; ++i) {
    const Move& read = batch.reads[i];
    if (!readIntoBuffer({read.file, read.length}, into + read.staged)) return kSourceUnreadable;
  }
  return {};
}

WriteStatus PieceWriter::State::writeBatch(const Batch& batch, const std::byte* from) {
  for (unsigned i = 0; i < batch.writeCount; ++i) {
    const Move& write = batch.writes[i];
    if (!writeBytes(write.file, from + write.staged, write.length)) return kOutputFailed;
  }
  return {};
}

// Reads the piece into `into`, where the source does not hand its bytes in
// place.
bool PieceWriter::State::readIntoBuffer(Piece piece, std::byte* into) {
  const std::optional<std::span<const std::byte>> bytes = source.read(piece, into);
  if (bytes && bytes->data() != into) std::memcpy(into, bytes->data(), bytes->size());
  return bytes.has_value();
}

bool PieceWriter::State::writeBytes(uint64_t offset, const std::byte* bytes, size_t length) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return moveAll(length, [&](size_t done) {
    return ::pwrite(output, bytes + done, length - done, static_cast<off_t>(offset + done));
  });
}

}  // namespace vaultcat::platform
