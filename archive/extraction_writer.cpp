#include "archive/extraction_writer.h"

#include <algorithm>
#include <array>
#include <span>

#include "archive/damage_text.h"

namespace vaultcat {

namespace {

using platform::Piece;

// Pieces of one run, handed to the output a batch at a time. Pieces that
// follow each other in the cache are merged, so a run stored in consecutive
// blocks goes out as one piece.
class PieceBatch {
 public:
  PieceBatch(DataSink& output, uint64_t offset) : output_(output), offset_(offset) {}

  Status add(Piece piece) {
    if (count_ > 0) {
      Piece& last = pieces_[count_ - 1];
      if (last.offset + last.length == piece.offset) {
        last.length += piece.length;
        return Status{};
      }
      if (count_ == pieces_.size()) {
        if (Status status = flush(); !status.ok()) return status;
      }
    }
    pieces_[count_++] = piece;
    return Status{};
  }

  Status flush() {
    if (count_ == 0) return Status{};
    uint64_t bytes = 0;
    for (size_t i = 0; i < count_; ++i) bytes += pieces_[i].length;
    Status status = output_.writeAt(offset_, std::span<const Piece>(pieces_.data(), count_));
    offset_ += bytes;
    count_ = 0;
    return status;
  }

 private:
  DataSink& output_;
  uint64_t offset_;
  std::array<Piece, 1024> pieces_;
  size_t count_ = 0;
};

// Copies one run: follows the data-block chain from `firstDataBlockIndex`
// until 0xFFFF, each block giving the file header's block size in bytes,
// until `runSize` bytes are written; blocks past that point give nothing but
// their progress line. A chain that ends early leaves the run short.
Status writeFragmentChain(const CacheArchive& archive, DataSink& output, uint64_t runOffset,
                          uint32_t firstDataBlockIndex, uint32_t runSize, ChainBudget& budget,
                          TextOutput& progress) {
  const uint32_t blockSize = archive.fileHeader().blockSize;
  const uint32_t blockCount = archive.dataBlockHeader().dataBlockCount;
  PieceBatch batch(output, runOffset);
  uint32_t written = 0;
  Status broken;
  for (uint32_t block = firstDataBlockIndex; block != kEndOfDataBlockChain;) {
    // Every block is checked against the data region and the map before
    // it is used; in a sound file no block is visited twice in one file.
    if (block >= blockCount || block >= archive.fragmentCount()) {
      broken = damage_text::dataBlockOutside(block, std::min(blockCount, archive.fragmentCount()));
      break;
    }
    if (budget.dataBlocksLeft == 0) {
      broken = damage_text::dataBlocksLoop();
      break;
    }
    --budget.dataBlocksLeft;

    const uint32_t chunk = std::min(blockSize, runSize - written);
    progress.print("Writing fragment ", block, " (size ", chunk, ")\n");
    if (chunk > 0) {
      const std::optional<Piece> piece = archive.dataBlock(block, chunk);
      // The header's block size is the data blocks' own in a sound file. A
      // larger one would read other blocks' bytes again with every chunk,
      // so that a small crafted file could write without end.
      if (!piece) {
        broken = damage_text::blockSizeTooLarge(blockSize, archive.dataBlockHeader().dataBlockSize);
        break;
      }
      if (Status status = batch.add(*piece); !status.ok()) return status;
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

ChainBudget ChainBudget::of(const CacheArchive& archive) {
  return {archive.blockEntryCount(),
          std::min(archive.dataBlockHeader().dataBlockCount, archive.fragmentCount())};
}

Status writeFileData(const CacheArchive& archive, DataSink& output, uint32_t firstBlockEntry,
                     TextOutput& progress, ChainBudget* shared) {
  const uint32_t entryCount = archive.blockEntryCount();
  ChainBudget own = ChainBudget::of(archive);
  ChainBudget& budget = shared != nullptr ? *shared : own;
  uint32_t from = firstBlockEntry;
  for (uint32_t index = firstBlockEntry; index != entryCount;) {
    auto entry = archive.blockEntry(index);
    if (!entry) return damage_text::entryOutsideTable(from, "links to", index, entryCount);
    // Once spent, the budget stays spent for every file that shares it.
    if (budget.entriesLeft == 0) return damage_text::entriesLinkInALoop();
    --budget.entriesLeft;

    progress.print("Writing block ", index, " (offset ", entry->fileDataOffset, ", size ",
                   entry->fileDataSize, ")\n");
    Status run =
        writeFragmentChain(archive, output, entry->fileDataOffset, entry->firstDataBlockIndex,
                           entry->fileDataSize, budget, progress);
    if (!run.ok()) return run;
    from = index;
    index = entry->nextBlockEntryIndex;
  }
  return output.flush();
}

}  // namespace vaultcat
