// Comparing an existing file with the cache's pieces, on every system.
#include "platform/destination/existing_file.h"

#include <algorithm>
#include <cstring>

namespace vaultcat::platform {

namespace {

// The bytes compared at a time: a block of most caches many times over,
// small beside the memory a run may take.
constexpr size_t kChunk = 256 * 1024;

bool isZeros(const std::byte* bytes, size_t length) {
  return std::all_of(bytes, bytes + length, [](std::byte b) { return b == std::byte{0}; });
}

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
  open_ = same_ = allButZeros_ = identity_.changed != 0;
  if (!same_) close();
  return same_;
}

bool ExistingFile::compare(uint64_t offset, std::span<const Piece> pieces) {
  for (const Piece& piece : pieces) {
    // A piece past the file's end is a file to write.
    if (!allButZeros_ || offset > identity_.size || piece.length > identity_.size - offset) {
      same_ = allButZeros_ = false;
      return true;
    }
    for (uint64_t done = 0; done < piece.length && allButZeros_;) {
      const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunk, piece.length - done));
      const std::optional<std::span<const std::byte>> ours =
          source_.read({piece.offset + done, length}, ours_.get());
      if (!ours) return false;
      if (!readAt(file_, offset + done, theirs_.get(), length)) {
        same_ = allButZeros_ = false;
      } else if (std::memcmp(ours->data(), theirs_.get(), length) != 0) {
        same_ = false;
        allButZeros_ = differsOnlyAtZeros(ours->data(), theirs_.get(), length);
      }
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

// Every byte of the file must have been compared for it to be the same: a
// region no piece covers would read as zeros in a file written, and is
// written rather than read. A file that differs anywhere is written over
// whole where every byte was compared.
ExistingFile::Holds ExistingFile::close() {
  Holds holds = Holds::kOther;
  if (open_ && allButZeros_) {
    std::sort(compared_.begin(), compared_.end());
    uint64_t covered = 0;
    for (const auto& [start, end] : compared_) {
      if (start > covered) break;
      covered = std::max(covered, end);
    }
    if (covered != identity_.size) {
      holds = same_ ? Holds::kThem : Holds::kAllButZeros;
    } else if (same_) {
      holds = Holds::kExactly;
    }
  }
  compared_.clear();
  if (file_ != -1) closeFile(file_);
  file_ = -1;
  open_ = false;
  same_ = allButZeros_ = false;
  return holds;
}

bool ExistingFile::differsOnlyAtZeros(const std::byte* ours, const std::byte* theirs,
                                      size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (ours[i] != theirs[i] && theirs[i] != std::byte{0}) return false;
  return true;
}

// A block of a file system at a time, so that a hole of the file copied
// stays one.
bool ExistingFile::copyInto(std::intptr_t file) {
  constexpr size_t kBlock = 4096;
  for (uint64_t offset = 0; offset < identity_.size; offset += kChunk) {
    const size_t length = static_cast<size_t>(std::min<uint64_t>(kChunk, identity_.size - offset));
    if (!readAt(file_, offset, theirs_.get(), length)) return false;
    // Runs of blocks that hold something, each written at once.
    for (size_t start = 0; start < length;) {
      size_t end = start;
      while (end < length && !isZeros(theirs_.get() + end, std::min(kBlock, length - end)))
        end += std::min(kBlock, length - end);
      if (end > start && !writeAt(file, offset + start, theirs_.get() + start, end - start))
        return false;
      start = end + (end < length ? std::min(kBlock, length - end) : 0);
    }
  }
  return true;
}

}  // namespace vaultcat::platform
