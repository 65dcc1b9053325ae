// What both systems share of the piece writer: the file it writes into,
// that a call a stop cut short answers the stop, and that a failure or a
// stop stays one.
#include "platform/source/piece_writer.h"

#include <utility>

#include "platform/process/process.h"

namespace vaultcat::platform {

void PieceWriter::open(std::intptr_t file) {
  abandon();
  file_ = file;
  ended_ = {};
}

WriteStatus PieceWriter::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (file_ == -1) return {WriteStatus::Kind::kOutputFailed};
  if (!ended_.ok()) return ended_;
  return latch(write(offset, pieces));
}

WriteStatus PieceWriter::flush() {
  if (file_ == -1) return {WriteStatus::Kind::kOutputFailed};
  if (!ended_.ok()) return ended_;
  return latch(drain());
}

bool PieceWriter::close() {
  if (file_ == -1) return false;
  const bool flushed = flush().ok();
  forget();
  return closeFile(std::exchange(file_, -1)) && flushed;
}

void PieceWriter::abandon() {
  if (file_ == -1) return;
  forget();
  closeFile(std::exchange(file_, -1));
}

// A read or a write that an interrupt cut short fails (moveAll(), or on
// Windows a write the console handler cancelled), and one that met the
// reader gone may: the run was stopping, and nothing failed.
WriteStatus PieceWriter::latch(WriteStatus status) {
  if (!status.ok() && mustStop()) status = {WriteStatus::Kind::kStopped};
  ended_ = status;
  return status;
}

}  // namespace vaultcat::platform
