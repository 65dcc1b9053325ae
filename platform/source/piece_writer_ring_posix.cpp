// The piece writer's batches through the read ring, on POSIX systems:
// many of a buffer's reads handed to the system at once
// (read_ring_posix.h), where the pieces are in the page cache and enough of
// them come in a row to be worth setting the ring up.
#include <cerrno>
#include <optional>

#include "platform/process/io_posix.h"
#include "platform/source/piece_writer_posix.h"

namespace vaultcat::platform {

bool PieceWriter::State::ringReady() {
  if (ring == nullptr && !ringRefused && source.handle() != -1) {
    ring = ReadRing::open(kRingBuffers, kBufferSize, kRingBuffers * kMostMoves);
    ringRefused = ring == nullptr;
    if (ring != nullptr) inRing = std::make_unique<Batch[]>(kRingBuffers);
  }
  return ring != nullptr && !ringRefused;
}

// The held pieces from `at` to `end`, a buffer's worth at a time, with the
// reads of every buffer in flight at once and each buffer written as soon
// as its reads, and those of the buffers before it, are complete: so the
// writes come in the order of the pieces, as without the ring. Where the
// system refuses the ring's calls, the batches not yet written go through
// the buffer instead, and `at` says where the rest begins.
WriteStatus PieceWriter::State::moveThroughRing(Cursor& at, size_t end) {
  RingQueue queue;
  while (true) {
    queueReads(queue, at, end);
    if (queue.busy == 0) return {};
    if (WriteStatus status = stopped(); !status.ok()) return settle(status);
    const int error = ring->submit(inRing[queue.first].pending > 0);
    if (error == -EINTR) continue;  // stopped() tells whether to wait again
    if (error < 0) return leaveRing(queue);
    WriteStatus status = takeCompletions();
    if (status.ok()) status = writeCompleted(queue);
    if (!status.ok()) return settle(status);
  }
}

// Fills the ring's free buffers with the held pieces from `at` on, up to
// `end`, and queues their reads.
void PieceWriter::State::queueReads(RingQueue& queue, Cursor& at, size_t end) {
  const int from = static_cast<int>(source.handle());
  for (; queue.busy < kRingBuffers && at.index < end; ++queue.busy) {
    const unsigned slot = (queue.first + queue.busy) % kRingBuffers;
    Batch& batch = inRing[slot];
    fill(batch, at, end);
    for (unsigned i = 0; i < batch.readCount; ++i) {
      const Move& read = batch.reads[i];
      ring->queue(uint64_t{slot} << 32 | i, from, read.file, slot, read.staged, read.length);
    }
    batch.pending = batch.readCount;
  }
}

// Takes the reads the ring has completed. One cut short, or failed, is read
// to its end here, and the answer of that call stands; a system that cannot
// read through the ring at all is not asked again.
WriteStatus PieceWriter::State::takeCompletions() {
  const int from = static_cast<int>(source.handle());
  while (const std::optional<ReadRing::Completion> done = ring->completed()) {
    const auto slot = static_cast<unsigned>(done->tag >> 32);
    Batch& batch = inRing[slot];
    const Move& read = batch.reads[done->tag & 0xFFFFFFFF];
    --batch.pending;
    if (done->result == static_cast<int32_t>(read.length)) continue;
    const uint32_t got = done->result > 0 ? static_cast<uint32_t>(done->result) : 0;
    if (done->result < 0 && refusedBySystem(-done->result)) ringRefused = true;
    if (!readAll(from, read.file + got,
                 reinterpret_cast<char*>(ring->buffer(slot)) + read.staged + got,
                 read.length - got))
      return kSourceUnreadable;
  }
  return {};
}

// Writes the oldest batches whose reads are all complete.
WriteStatus PieceWriter::State::writeCompleted(RingQueue& queue) {
  for (; queue.busy > 0 && inRing[queue.first].pending == 0; queue.pop()) {
    if (WriteStatus status = writeBatch(inRing[queue.first], ring->buffer(queue.first));
        !status.ok())
      return status;
  }
  return {};
}

// The system refused the ring's calls (a seccomp filter may let a ring be
// made and refuse its use): the batches in it go through the buffer.
WriteStatus PieceWriter::State::leaveRing(RingQueue& queue) {
  dropRing();
  for (; queue.busy > 0; queue.pop()) {
    if (WriteStatus status = throughBuffer(inRing[queue.first]); !status.ok()) return status;
  }
  return {};
}

// Waits until the ring holds no read in flight, so that its buffers may be
// used again or freed, and answers `status`.
WriteStatus PieceWriter::State::settle(WriteStatus status) {
  while (ring->inFlight() > 0) {
    const int error = ring->submit(true);
    if (error < 0 && error != -EINTR) {
      dropRing();
      return status;
    }
    while (ring->completed()) {
    }
  }
  return status;
}

// Gives the ring up for the rest of the run. Where the system may still be
// reading into its buffers, they stay until the process ends.
void PieceWriter::State::dropRing() {
  ringRefused = true;
  if (ring->inFlight() == 0) {
    ring.reset();
  } else {
    static_cast<void>(ring.release());
  }
}

}  // namespace vaultcat::platform
