// The output stream, on every system.
#include "platform/destination/output_stream.h"

#include "platform/destination/folder.h"

namespace vaultcat::platform {

void OutputStream::beginFile(std::intptr_t file, const std::string& path, bool syncAtEnd) {
  writer_.open(file);
  path_ = path;
  syncAtEnd_ = syncAtEnd;
  partLength_.reset();
}

void OutputStream::makePart(uint64_t length) {
  allowHoles(writer_.file());
  partLength_ = length;
}

// A write to the file since it was compared, or while it is copied, shows
// in its change time.
bool OutputStream::copyIn(At at, const FileIdentity& seen) {
  const auto unchanged = [&](const FileIdentity& now) {
    return now.sameFileAs(seen) && now.changed == seen.changed;
  };
  bool copied = existing_.open(at, seen) && unchanged(existing_.identity());
  if (copied && !existing_.copyInto(writer_.file())) {
    note_.failHere(path_);
    existing_.close();
    return false;
  }
  existing_.close();
  FileIdentity now;
  copied = copied && identifyAt(at, now) && unchanged(now);
  return copied || note_.fail({Failure::Kind::kChanged}, path_);
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
  if (whole && partLength_ && !setLength(writer_.file(), *partLength_))
    whole = note_.failHere(path_);
  if (whole && syncAtEnd_ && !syncFile(writer_.file())) whole = note_.failHere(path_);
  if (!whole) {
    writer_.abandon();
    return false;
  }
  return writer_.close() || note_.failHere(path_);
}

OutputStream::Compared OutputStream::endComparison() {
  comparing_ = false;
  const FileIdentity seen = existing_.identity();
  return {existing_.close(), seen};
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
