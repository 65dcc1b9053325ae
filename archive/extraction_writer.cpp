#include "archive/extraction_writer.h"

#include <algorithm>
#include <span>
#include <vector>

#include "archive/damage_text.h"

namespace vaultcat {

namespace {

using platform::Piece;

// Pieces of one run, handed to the output a batch at a time. Pieces that
// follow each other in the cache are merged, so a run stored in consecutive
// blocks goes out as one piece. The batch is reserved, not filled, when the
// first piece comes: cleared for every run, 16 KiB of it made checking the
// files of a million-item cache take three and a half times as long.
class PieceBatch {
 public:
  PieceBatch(DataSink& output, uint64_t offset) : output_(output), offset_(offset) {}

  Status add(Piece piece) {
    if (!pieces_.empty()) {
      Piece& last = pieces_.back();
      if (last.offset + last.length == piece.offset) {
        last.length += piece.length;
        return Status{};
      }
      if (pieces_.size() == kBatch) {
        if (Status status = flush(); !status.ok()) return status;
      }
    }
    if (pieces_.capacity() == 0) pieces_.reserve(kBatch);
    pieces_.push_back(piece);
    return Status{};
  }

  // Leaves the next `length` bytes of the run unwritten: bytes the cache
  // lacks.
  Status skip(uint64_t length) {
    Status status = flush();
    offset_ += length;
    return status;
  }

  Status flush() {
    if (pieces_.empty()) return Status{};
    uint64_t bytes = 0;
    for (const Piece& piece : pieces_) bytes += piece.length;
    Status status = output_.writeAt(offset_, pieces_);
    offset_ += bytes;
    pieces_.clear();
    return status;
  }

 private:
  static constexpr size_t kBatch = 1024;
  DataSink& output_;
  uint64_t offset_;
  std::vector<Piece> pieces_;
};

// Why the chain may not go on into `block`, if it may not: every block is
// checked against the data region and the map before it is used.
Status enterBlock(const CacheArchive& archive, uint32_t block, ChainGuard& guard) {
  const uint32_t blockCount = archive.dataBlockHeader().dataBlockCount;
  if (block >= blockCount || block >= archive.fragmentCount())
    return damage_text::dataBlockOutside(block, std::min(blockCount, archive.fragmentCount()));
  if (!guard.enterBlock(block)) return guard.refusal();
  return {};
}

// Copies one run: follows the data-block chain from `firstDataBlockIndex`
// until 0xFFFF, each block giving the file header's block size in bytes,
// until `runSize` bytes are written; blocks past that point give nothing,
// and the output is told of them all the same. A chain that ends early
// leaves the run short.
Status writeFragmentChain(const CacheArchive& archive, DataSink& output, uint64_t runOffset,
                          uint32_t firstDataBlockIndex, uint32_t runSize, ChainGuard& guard) {
  const uint32_t blockSize = archive.fileHeader().blockSize;
  PieceBatch batch(output, runOffset);
  uint32_t written = 0;
  Status broken;
  for (uint32_t block = firstDataBlockIndex; block != kEndOfDataBlockChain;) {
    if (broken = enterBlock(archive, block, guard); !broken.ok()) break;
    const uint32_t chunk = std::min(blockSize, runSize - written);
    output.metBlock(block, chunk);
    if (chunk > 0) {
      // The header's block size is the data blocks' own in a sound file. A
      // larger one would read other blocks' bytes again with every chunk,
      // so that a small crafted file could write without end.
      if (chunk > archive.dataBlockHeader().dataBlockSize) {
        broken = damage_text::blockSizeTooLarge(blockSize, archive.dataBlockHeader().dataBlockSize);
        break;
      }
      // A block past the end of a cache cut short is one it lacks; the
      // chain, in the tables, goes on.
      const std::optional<Piece> piece = archive.dataBlock(block, chunk);
      if (Status status = piece ? batch.add(*piece) : batch.skip(chunk); !status.ok())
        return status;
      written += chunk;
    }
    // The block was checked against the map above, so it has a successor.
    block = *archive.nextDataBlock(block);
  }
  // The pieces before a break are handed out too, for a reader of part of
  // the file (a mount).
  Status flushed = batch.flush();
  return broken.ok() ? flushed : broken;
}

}  // namespace

Status writeFileData(const CacheArchive& archive, DataSink& output, uint32_t firstBlockEntry,
                     ChainGuard* given) {
  const uint32_t entryCount = archive.blockEntryCount();
  std::optional<ChainBudget> own;
  ChainGuard& guard = given != nullptr ? *given : own.emplace(archive);
  uint32_t from = firstBlockEntry;
  for (uint32_t index = firstBlockEntry; index != entryCount;) {
    auto entry = archive.blockEntry(index);
    if (!entry) return damage_text::entryOutsideTable(from, "links to", index, entryCount);
    if (!guard.enterEntry(index)) return guard.refusal();

    output.metRun(index, entry->fileDataOffset, entry->fileDataSize);
    Status run = writeFragmentChain(archive, output, entry->fileDataOffset,
                                    entry->firstDataBlockIndex, entry->fileDataSize, guard);
    if (!run.ok()) return run;
    from = index;
    index = entry->nextBlockEntryIndex;
  }
  return output.flush();
}

}  // namespace vaultcat
