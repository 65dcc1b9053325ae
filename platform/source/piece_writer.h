// How the pieces of the cache reach the file being written. One call,
// writeAt(), hides how their bytes move: copied by the system from the
// cache's file to the output's, read from the cache's file, or copied from
// memory, in whatever order suits where they are.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/source/piece.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

// How a write to an output ended.
struct WriteStatus {
  enum class Kind {
    kOk,
    kOutputFailed,      // the output refused bytes
    kSourceUnreadable,  // the source's bytes could not be read: it shrank or its disk failed
    kStopped,           // the run is to stop (platform::mustStop()): nothing failed
  };
  Kind kind = Kind::kOk;
  bool ok() const { return kind == Kind::kOk; }
};

// Writes into one open file at a time. Pieces may be held back, to go out
// together in the order they lie in the source (POSIX systems, where the
// source must come from the disk), until flush() at the latest, which
// answers for them. Where the run is to stop (platform::mustStop()), a
// write answers kStopped, and so does a call that the stop cut short. After
// a failure or a stop every write to that file answers the same.
class PieceWriter {
 public:
  explicit PieceWriter(const SourceFile& source);
  ~PieceWriter();
  PieceWriter(const PieceWriter&) = delete;
  PieceWriter& operator=(const PieceWriter&) = delete;

  // Takes the open `file` (a descriptor or a handle) to write into, closing
  // any file it had without writing what it held back.
  void open(std::intptr_t file);
  bool isOpen() const { return file_ != -1; }
  std::intptr_t file() const { return file_; }
  // Writes the pieces one after another, the first at `offset` from the
  // start of the file. Regions never written, below the highest byte
  // written, read as zeros.
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  WriteStatus flush();
  // Flushes and closes the file: false if anything written did not reach
  // it, or there was none.
  bool close();
  // Closes the file without writing what was held back.
  void abandon();

 private:
  struct State;  // what each system keeps between calls
  // Each system's part: writes or holds back, writes what was held back,
  // drops it, closes a file.
  WriteStatus write(uint64_t offset, std::span<const Piece> pieces);
  WriteStatus drain();
  void forget();
  static bool closeFile(std::intptr_t file);
  // The status, remembered: a failure or a stop is final for the file.
  WriteStatus latch(WriteStatus status);

  std::unique_ptr<State> state_;
  std::intptr_t file_ = -1;
  WriteStatus ended_;  // the failure or stop that ended writing to the file
};

}  // namespace vaultcat::platform
