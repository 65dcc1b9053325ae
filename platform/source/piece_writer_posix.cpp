// The piece writer on POSIX systems. Long pieces of the cache (runs of
// consecutive data blocks, kKernelCopyMin and longer) are moved inside the
// kernel, from the cache's descriptor to the output's: their bytes never
// enter our address space (piece_writer_kernel_copy_posix.cpp). Shorter
// pieces, such as scattered single blocks, are read from the cache into a
// buffer, each from where the cache holds it, and written out in one call
// per buffer (piece_writer_buffers_posix.cpp), with the reads that fill a
// buffer handed to the system together where it allows
// (piece_writer_ring_posix.cpp). Here: the pieces held back, the order they
// go in, and which way each goes.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/process/process.h"
#include "platform/source/piece_writer_posix.h"

namespace vaultcat::platform {

namespace {

constexpr uint64_t kKernelCopyMin = uint64_t{256} << 10;
// Pieces are held back, to be read in the order they lie in the cache where
// it is not in the page cache: a fragmented file read in its own order
// waits for the disk block by block (1 GiB of shuffled 8 KiB blocks, cold:
// 3.4 s, and 1.8 s with every block asked of the disk ahead), where in the
// cache's order the system's readahead sees one stream (0.7 s, cat 0.5-1
// s). So many pieces at the most, 3 MiB of their places, 1 GiB of 8 KiB
// blocks, are held at once.
constexpr size_t kMostHeld = size_t{1} << 17;

}  // namespace

PieceWriter::PieceWriter(const SourceFile& source) : state_(std::make_unique<State>(source)) {}
PieceWriter::~PieceWriter() { abandon(); }

WriteStatus PieceWriter::write(uint64_t offset, std::span<const Piece> pieces) {
  State& s = *state_;
  s.output = static_cast<int>(file_);
  for (const Piece& piece : pieces) {
    s.held.push_back({piece, offset});
    offset += piece.length;
    if (s.held.size() == kMostHeld) {
      if (WriteStatus status = s.writeHeld(); !status.ok()) return status;
    }
  }
  return {};
}

WriteStatus PieceWriter::drain() {
  state_->output = static_cast<int>(file_);
  return state_->writeHeld();
}

void PieceWriter::forget() { state_->held.clear(); }

bool PieceWriter::closeFile(std::intptr_t file) { return ::close(static_cast<int>(file)) == 0; }

// The held pieces in turn: a long one copied inside the kernel, the others,
// and what the kernel would not copy, through buffers.
WriteStatus PieceWriter::State::writeHeld() {
  order();
  WriteStatus status;
  for (Cursor at; status.ok() && at.index < held.size();) {
    const Held& next = held[at.index];
    status = stopped();
    if (status.ok() && at.done == 0 && copiesInKernel(next.piece)) {
      status = copyFileRange(next.piece, next.output, at.done);
      if (status.ok() && at.done == 0) status = spliceThroughPipe(next.piece, next.output, at.done);
      if (at.done == next.piece.length) {
        at = {at.index + 1, 0};
        continue;
      }
    }
    // What the kernel did not copy of this piece, and the pieces up to the
    // next it may.
    size_t end = at.index + 1;
    while (end < held.size() && !copiesInKernel(held[end].piece)) ++end;
    if (status.ok()) status = moveThroughBuffers(at, end);
  }
  held.clear();
  return status;
}

// Reserves the output the held pieces fill, and sorts them by their place
// in the cache where that saves waiting for the disk. Where the cache is in
// the page cache, reading it out of order costs little and writing out of
// order much (the shuffled gigabyte took 0.64 s in the order it came, 1.04
// s in the cache's): the pieces go in the order they came. So do pieces
// that write the same bytes (only a damaged cache's do): the later must
// win.
void PieceWriter::State::order() {
  // A single piece, such as a whole small file, has no order to choose.
  if (held.size() < 2) return;
  resident = inPageCache();
  const auto byOutput = [](const Held& a, const Held& b) { return a.output < b.output; };
  const auto bySource = [](const Held& a, const Held& b) {
    return a.piece.offset < b.piece.offset;
  };
  std::vector<Held> sorted;
  std::span<const Held> inOutputOrder = held;
  if (!std::is_sorted(held.begin(), held.end(), byOutput)) {
    sorted = held;
    std::sort(sorted.begin(), sorted.end(), byOutput);
    inOutputOrder = sorted;
  }
  for (size_t i = 1; i < inOutputOrder.size(); ++i) {
    if (inOutputOrder[i].output < inOutputOrder[i - 1].output + inOutputOrder[i - 1].piece.length)
      return;
  }
  reserve(inOutputOrder);
  sorted = {};
  if (!resident) std::sort(held.begin(), held.end(), bySource);
}

// Whether the pieces' first pages (16 of them at the most, spread over
// them) are all in the page cache.
bool PieceWriter::State::inPageCache() const {
  for (size_t i = 0; i < held.size(); i += std::max<size_t>(1, held.size() / 16)) {
    if (!source.resident(held[i].piece)) return false;
  }
  return true;
}

// Written out of order, each piece of a new file would be a region of its
// own to the file system until written back (on ext4, 0.4 s of 1 s for the
// shuffled gigabyte went to keeping them apart), and in order too, each
// write reserves its own space (0.45 s against 0.37 s for the same
// gigabyte, read from the page cache); reserved first, the pieces that
// follow each other in the output are parts of one, and a gap between them
// stays a hole. Only a help: a system without it writes all the same.
void PieceWriter::State::reserve(std::span<const Held> byOutput) const {
  for (size_t i = 0; i < byOutput.size();) {
    uint64_t end = byOutput[i].output + byOutput[i].piece.length;
    size_t next = i + 1;
    while (next < byOutput.size() && byOutput[next].output == end)
      end += byOutput[next++].piece.length;
    if (next - i > 1) {
      ::fallocate(output, 0, static_cast<off_t>(byOutput[i].output),
                  static_cast<off_t>(end - byOutput[i].output));
    }
    i = next;
  }
}

// Whether the run is to stop before its next step (an interrupt came, or
// standard output's reader went away), or reading the cache's mapping
// faulted. The one question the writer asks where it may stop; a call cut
// short by a signal comes back to it, to be made again or not.
WriteStatus PieceWriter::State::stopped() const {
  if (mustStop()) return kStopped;
  if (source.faulted()) return kSourceUnreadable;
  return {};
}

bool PieceWriter::State::copiesInKernel(Piece piece) const {
  return piece.length >= kKernelCopyMin && source.handle() != -1 && (kernelCopies || splices);
}

bool PieceWriter::State::refusedBySystem(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
         error == EBADF;
}

}  // namespace vaultcat::platform
