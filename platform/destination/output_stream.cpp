// The output stream, on every system.
#include "platform/destination/output_stream.h"

#include "platform/destination/folder.h"

namespace vaultcat::platform {

void OutputStream::beginFile(std::intptr_t file, const std::string& path, bool syncAtEnd) {
  writer_.open(file);
  path_ = path;
  syncAtEnd_ = syncAtEnd;
}

bool OutputStream::beginComparison(At at, const FileIdentity& seen, const std::string& path) {
  if (!existing_.open(at, seen)) return false;
  path_ = path;
  comparing_ = true;
  return true;
}

WriteStatus OutputStream::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (comparing_)
    return {existing_.compare(offset, pieces) ? WriteStatus::Kind::kOk
                                              : WriteStatus::Kind::kSourceUnreadable};
  return written(writer_.writeAt(offset, pieces));
}

WriteStatus OutputStream::flush() { return comparing_ ? WriteStatus{} : written(writer_.flush()); }

bool OutputStream::endFile() {
  // What was held back is written first, so that a stop there is told as
  // one, not as the close's failure.
  bool whole = written(writer_.flush()).ok();
  if (whole && syncAtEnd_ && !syncFile(writer_.file())) whole = note_.failHere(path_);
  if (!whole) {
    writer_.abandon();
    return false;
  }
  return writer_.close() || note_.failHere(path_);
}

std::optional<FileIdentity> OutputStream::endComparison() {
  comparing_ = false;
  const FileIdentity seen = existing_.identity();
  if (!existing_.close()) return std::nullopt;
  return seen;
}

void OutputStream::abandon() {
  writer_.abandon();
  existing_.close();
  comparing_ = false;
}

WriteStatus OutputStream::written(WriteStatus status) {
  switch (status.kind) {
    case WriteStatus::Kind::kOk:
    case WriteStatus::Kind::kSourceUnreadable:  // the cache's, which the reader tells
      break;
    case WriteStatus::Kind::kStopped:
      note_.fail({Failure::Kind::kInterrupted}, path_);
      break;
    case WriteStatus::Kind::kOutputFailed:
      note_.failHere(path_);
      break;
  }
  return status;
}

}  // namespace vaultcat::platform
