// The piece writer on POSIX systems. Pieces of the cache this long or
// longer (runs of consecutive data blocks) are moved inside the kernel, from
// the cache's descriptor to the output's: their bytes never enter our
// address space. Where the two offsets lie alike within a page,
// copy_file_range(2) copies them. Where they do not, it copies more slowly
// than a read and a write (0.70 s against 0.52 s for 1 GiB on ext4), and
// the run goes through a pipe instead: splice(2) lends the cache's pages to
// the pipe and copies them once into the output (0.45 s, where writing from
// the mapping a window at a time took 0.54 s and cat 0.46 s). Shorter
// pieces, such as scattered single blocks, are read from the cache into a
// buffer, each from where the cache holds it, and written out in one call
// per buffer. The buffer is small enough to stay in the processor's cache
// between the read and the write: a 1 GiB file took 0.38 s through 256 KiB
// and 0.67 s to 1.3 s through 1 MiB. From the page cache, the reads that
// fill a buffer are handed to the system together, through io_uring where
// it allows (read_ring_posix.h), instead of a call each: the shuffled
// gigabyte of 8 KiB blocks took 0.44 s, 0.56 s a call each and cat 0.32 s
// of the same bytes in one piece (medians of 11 paired runs on 2 busy
// cores). What is left is the copy through the buffer, which cat does not
// make. The ways around it tried here: writing straight from the mapping
// was about as fast (0.61 s against 0.67 s in a busier run), but kept
// every page it touched resident, a gigabyte for the gigabyte, and letting
// them go every 8 MiB still left 900 MiB (and took 0.80 s); splicing each
// block through a pipe took twice as long as reading it; handing the
// writes to io_uring's workers too took 0.45 s against 0.37 s.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "platform/process/io_posix.h"
#include "platform/source/piece_writer.h"
#include "platform/source/read_ring_posix.h"

namespace vaultcat::platform {

namespace {

constexpr uint64_t kKernelCopyMin = uint64_t{256} << 10;
constexpr size_t kBufferSize = size_t{256} << 10;
constexpr size_t kPipeSize = size_t{1} << 20;  // what a user may ask for without privilege
// The most one call copies inside the kernel, so that the run looks at
// interrupts and at standard output between steps: 64 MiB take some 40 ms
// from the page cache, a fraction of a second from a disk.
constexpr uint64_t kLongestKernelCopy = uint64_t{64} << 20;
// Pieces are held back, to be read in the order they lie in the cache where
// it is not in the page cache: a fragmented file read in its own order
// waits for the disk block by block (1 GiB of shuffled 8 KiB blocks, cold:
// 3.4 s, and 1.8 s with every block asked of the disk ahead), where in the
// cache's order the system's readahead sees one stream (0.7 s, cat 0.5-1
// s). So many pieces at the most, 3 MiB of their places, 1 GiB of 8 KiB
// blocks, are held at once.
constexpr size_t kMostHeld = size_t{1} << 17;

// The ring: the buffers whose reads are in flight at once, the most reads
// that fill one, and writes that empty it (a file's 8 KiB blocks take 32
// of either), and the fewest pieces in a row worth setting it up for. From
// the page cache the reads are done as they are handed over, and from the
// disk the system reads ahead of them anyway: the shuffled gigabyte took
// as long with 1, 2 or 8 buffers, and a ring took 0.2 ms to set up with 2,
// 0.8 ms with 8 (mostly the first touch of its buffers' memory). It saved
// about 0.7 us a piece.
constexpr unsigned kRingBuffers = 2;
constexpr unsigned kMostMoves = 64;
constexpr size_t kRingLeast = 512;

constexpr WriteStatus kOutputFailed{WriteStatus::Kind::kOutputFailed};
constexpr WriteStatus kSourceUnreadable{WriteStatus::Kind::kSourceUnreadable};
constexpr WriteStatus kStopped{WriteStatus::Kind::kStopped};

// What the system answers where it cannot do a kind of call for these
// files at all (copy between them, read them through the ring); the bytes
// then go through the buffer.
bool refusedBySystem(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP ||
         error == EBADF;
}

}  // namespace

struct PieceWriter::State {
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

  explicit State(const SourceFile& from) : source(from) {}
  ~State() { stopSplicing(); }

  WriteStatus writeHeld();
  void order();
  bool inPageCache() const;
  void reserve(std::span<const Held> byOutput) const;
  WriteStatus stopped() const;
  bool copiesInKernel(Piece piece) const;
  void fill(Batch& batch, Cursor& at, size_t end) const;
  WriteStatus moveThroughBuffers(Cursor& at, size_t end);
  bool ringReady();
  WriteStatus moveThroughRing(Cursor& at, size_t end);
  WriteStatus settle(WriteStatus status);
  WriteStatus readBatch(const Batch& batch, std::byte* into);
  WriteStatus writeBatch(const Batch& batch, const std::byte* from);
  bool readIntoBuffer(Piece piece, std::byte* into);
  WriteStatus copyFileRange(Piece piece, uint64_t offset, uint64_t& done);
  WriteStatus spliceThroughPipe(Piece piece, uint64_t offset, uint64_t& done);
  void stopSplicing();
  bool writeBytes(uint64_t offset, const std::byte* bytes, size_t length);

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
};

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
  if (buffer == nullptr) buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  Batch batch;
  while (at.index < end) {
    if (WriteStatus status = stopped(); !status.ok()) return status;
    fill(batch, at, end);
    if (WriteStatus status = readBatch(batch, buffer.get()); !status.ok()) return status;
    if (WriteStatus status = writeBatch(batch, buffer.get()); !status.ok()) return status;
  }
  return {};
}

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
  const int from = static_cast<int>(source.handle());
  unsigned first = 0, busy = 0;  // the oldest batch in the ring, and how many there are
  while (true) {
    while (busy < kRingBuffers && at.index < end) {
      const unsigned slot = (first + busy) % kRingBuffers;
      Batch& batch = inRing[slot];
      fill(batch, at, end);
      for (unsigned i = 0; i < batch.readCount; ++i) {
        const Move& read = batch.reads[i];
        ring->queue(uint64_t{slot} << 32 | i, from, read.file, slot, read.staged, read.length);
      }
      batch.pending = batch.readCount;
      ++busy;
    }
    if (busy == 0) return {};
    if (WriteStatus status = stopped(); !status.ok()) return settle(status);
    const int error = ring->submit(inRing[first].pending > 0);
    if (error == -EINTR) continue;  // stopped() tells whether to wait again
    if (error < 0) break;
    while (const std::optional<ReadRing::Completion> done = ring->completed()) {
      const auto slot = static_cast<unsigned>(done->tag >> 32);
      Batch& batch = inRing[slot];
      const Move& read = batch.reads[done->tag & 0xFFFFFFFF];
      --batch.pending;
      if (done->result == static_cast<int32_t>(read.length)) continue;
      // Cut short, or failed: the rest is read here, and the answer of the
      // call stands. A system that cannot read through the ring at all is
      // not asked again.
      const uint32_t got = done->result > 0 ? static_cast<uint32_t>(done->result) : 0;
      if (done->result < 0 && refusedBySystem(-done->result)) ringRefused = true;
      if (!readAll(from, read.file + got,
                   reinterpret_cast<char*>(ring->buffer(slot)) + read.staged + got,
                   read.length - got))
        return settle(kSourceUnreadable);
    }
    for (; busy > 0 && inRing[first].pending == 0; --busy, first = (first + 1) % kRingBuffers) {
      if (WriteStatus status = writeBatch(inRing[first], ring->buffer(first)); !status.ok())
        return settle(status);
    }
  }
  // Refused: a seccomp filter may let a ring be made and refuse its use.
  ringRefused = true;
  if (ring->inFlight() == 0) {
    ring.reset();
  } else {
    // The system may still be reading into the ring's buffers: they stay
    // until the process ends.
    static_cast<void>(ring.release());
  }
  if (buffer == nullptr) buffer = std::make_unique_for_overwrite<std::byte[]>(kBufferSize);
  for (; busy > 0; --busy, first = (first + 1) % kRingBuffers) {
    if (WriteStatus status = readBatch(inRing[first], buffer.get()); !status.ok()) return status;
    if (WriteStatus status = writeBatch(inRing[first], buffer.get()); !status.ok()) return status;
  }
  return {};
}

// Waits until the ring holds no read in flight, so that its buffers may be
// used again or freed, and answers `status`.
WriteStatus PieceWriter::State::settle(WriteStatus status) {
  while (ring->inFlight() > 0) {
    const int error = ring->submit(true);
    if (error < 0 && error != -EINTR) {
      ringRefused = true;
      static_cast<void>(ring.release());  // as in moveThroughRing()
      return status;
    }
    while (ring->completed()) {
    }
  }
  return status;
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

WriteStatus PieceWriter::State::copyFileRange(Piece piece, uint64_t offset, uint64_t& done) {
  static const auto pageSize = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  if (source.handle() == -1 || !kernelCopies || (piece.offset - offset) % pageSize != 0) return {};
  const int from = static_cast<int>(source.handle());
  loff_t fromOffset = static_cast<loff_t>(piece.offset);
  loff_t toOffset = static_cast<loff_t>(offset);
  while (done < piece.length) {
    if (WriteStatus status = stopped(); !status.ok()) return status;
    const ssize_t n = ::copy_file_range(from, &fromOffset, output, &toOffset,
                                        std::min(piece.length - done, kLongestKernelCopy), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && refusedBySystem(errno)) {
      kernelCopies = false;  // the rest goes through the buffer
      return {};
    }
    // Nothing copied: the cache ended early. A failure: whichever of the two
    // files can no longer be read or written.
    char probe;
    if (n == 0 || (n < 0 && !readAll(from, static_cast<uint64_t>(fromOffset), &probe, 1)))
      return kSourceUnreadable;
    if (n < 0) return kOutputFailed;
    done += static_cast<uint64_t>(n);
  }
  return {};
}

WriteStatus PieceWriter::State::spliceThroughPipe(Piece piece, uint64_t offset, uint64_t& done) {
  if (source.handle() == -1 || !splices) return {};
  if (pipe[0] < 0) {
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
      stopSplicing();
      return {};
    }
    ::fcntl(pipe[1], F_SETPIPE_SZ, static_cast<int>(kPipeSize));  // smaller only takes more calls
  }
  while (done < piece.length) {
    if (WriteStatus status = stopped(); !status.ok()) return status;
    loff_t from = static_cast<loff_t>(piece.offset + done);
    const ssize_t n = ::splice(static_cast<int>(source.handle()), &from, pipe[1], nullptr,
                               std::min<size_t>(piece.length - done, kPipeSize), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return kSourceUnreadable;  // the cache ended early
    // Refused, or the cache could not be read: the buffer takes the rest,
    // and its reads tell which.
    if (n < 0) {
      stopSplicing();
      return {};
    }
    loff_t to = static_cast<loff_t>(offset + done);
    for (ssize_t left = n; left > 0;) {
      const ssize_t m = ::splice(pipe[0], nullptr, output, &to, static_cast<size_t>(left), 0);
      // What the pipe holds is read again from the cache.
      if (m < 0 && left == n && refusedBySystem(errno)) {
        stopSplicing();
        return {};
      }
      const bool failed = m == 0 || (m < 0 && errno != EINTR);
      if (m > 0) left -= m;
      // A failure ends the run, and so does a stop that cut a step short:
      // what the pipe still holds belongs to no later piece.
      const WriteStatus status = failed ? kOutputFailed : left > 0 ? stopped() : WriteStatus{};
      if (!status.ok()) {
        stopSplicing();
        return status;
      }
    }
    done += static_cast<uint64_t>(n);
  }
  return {};
}

void PieceWriter::State::stopSplicing() {
  splices = false;
  for (int& end : pipe) {
    if (end >= 0) ::close(std::exchange(end, -1));
  }
}

bool PieceWriter::State::writeBytes(uint64_t offset, const std::byte* bytes, size_t length) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return moveAll(length, [&](size_t done) {
    return ::pwrite(output, bytes + done, length - done, static_cast<off_t>(offset + done));
  });
}

}  // namespace vaultcat::platform
