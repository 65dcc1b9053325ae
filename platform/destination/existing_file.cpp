// Comparing an existing file with the cache's pieces, on every system.
#include "platform/destination/existing_file.h"

#include <algorithm>
#include <cstring>

namespace vaultcat::platform {

namespace {

// The bytes compared at a time: a block of most caches many times over,
// small beside the memory a run may take.
constexpr size_t kChunk = 256 * 1024;

}  // namespace

ExistingFile::ExistingFile(const SourceFile& source)
    : source_(source), theirs_(new std::byte[kChunk]), ours_(new std::byte[kChunk]) {}

ExistingFile::~ExistingFile() { close(); }

bool ExistingFile::open(At at, const FileIdentity& seen) {
  close();
  // Most files of a big tree are empty: opening each would cost three
  // calls more for nothing to read.
  if (seen.size == 0) {
    identity_ = seen;
  } else {
    file_ = openToRead(at);
    if (file_ == -1 || !identifyOpenFile(file_, identity_) || !identity_.sameFileAs(seen)) {
      close();
      return false;
    }
  }
  // The change time is taken before the first byte is read, so that a
  // write during the comparison shows at the commit; a file whose change
  // time the system does not tell is written instead.
  open_ = same_ = identity_.changed != 0;
  if (!same_) close();
  return same_;
}

bool ExistingFile::compare(uint64_t offset, std::span<const Piece> pieces) {
  for (const Piece& piece : pieces) {
    // A piece past the file's end is a file to write.
    if (!same_ || offset > identity_.size || piece.length > identity_.size - offset) {
      same_ = false;
      return true;
    }
    for (uint64_t done = 0; done < piece.length && same_;) {
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunk, piece.length - done));
      const std::optional<std::span<const std::byte>> ours =
          source_.read({piece.offset + done, length}, ours_.get());
      if (!ours) return false;
      same_ = readAt(file_, offset + done, theirs_.get(), length) &&
              std::memcmp(ours->data(), theirs_.get(), length) == 0;
      done += length;
    }
    if (!compared_.empty() && compared_.back().second == offset) {
      compared_.back().second += piece.length;
    } else {
      compared_.emplace_back(offset, offset + piece.length);
    }
    offset += piece.length;
  }
  return true;
}

// Every byte of the file must have been compared: a region no piece covers
// would read as zeros in a file written, and is written rather than read.
bool ExistingFile::close() {
  bool same = open_ && same_;
  if (same) {
    std::sort(compared_.begin(), compared_.end());
    uint64_t covered = 0;
    for (const auto& [start, end] : compared_) {
      if (start > covered) break;
      covered = std::max(covered, end);
    }
    same = covered == identity_.size;
  }
  compared_.clear();
  if (file_ != -1) closeFile(file_);
  file_ = -1;
  open_ = false;
  same_ = false;
  return same;
}

}  // namespace vaultcat::platform
