// What both systems share of the piece writer: the file it writes into, and
// that a failure stays one.
#include "platform/source/piece_writer.h"

#include <utility>

namespace vaultcat::platform {

void PieceWriter::open(std::intptr_t file) {
  abandon();
  file_ = file;
  failed_ = false;
}

WriteStatus PieceWriter::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (file_ == -1 || failed_) return {WriteStatus::Kind::kOutputFailed};
  return latch(write(offset, pieces));
}

WriteStatus PieceWriter::flush() {
  if (file_ == -1 || failed_) return {WriteStatus::Kind::kOutputFailed};
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

WriteStatus PieceWriter::latch(WriteStatus status) {
  failed_ = !status.ok();
  return status;
}

}  // namespace vaultcat::platform
