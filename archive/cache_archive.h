// CacheArchive: one opened cache file.
//
// open() maps the whole file read-only, checks its version, walks the
// sections once, and checks that every header and table it will read, and
// the whole data region, lie inside the file. It keeps one view of each
// table it reads records from; after that the records are read in place.
// Every accessor that takes an index read from the file checks it against
// its table and answers "nothing" rather than read outside it; nothing it
// hands out outlives close(). The bytes of files are handed out as pieces
// (where they lie in the file), which an output reads from the source as
// suits it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/byte_view.h"
#include "archive/cache_layout.h"
#include "archive/status.h"
#include "platform/source/piece.h"
#include "platform/source/source_file.h"

namespace vaultcat {

class CacheArchive {
 public:
  // Why open() failed; lastError() returns one of these.
  static constexpr const char* kMapFailed = "Failed to map GCF file to memory.";
  static constexpr const char* kBadVersion = "Invalid GCF version number.";
  static constexpr const char* kCorrupt = "Corrupt file.";

  CacheArchive() = default;
  ~CacheArchive() { close(); }
  CacheArchive(const CacheArchive&) = delete;
  CacheArchive& operator=(const CacheArchive&) = delete;

  // Whether a cache whose data blocks run past the end of the file (a
  // download that stopped) is opened: every table must still lie whole
  // inside the file, and the blocks past its end are ones the cache lacks.
  enum class Extent { kWhole, kMayBeCut };

  // Maps and checks the named file. On failure the archive is closed and
  // lastError() says why.
  bool open(const std::string& path, Extent extent = Extent::kWhole);
  // The same checks on a cache already in memory (tests and fuzzing). The
  // bytes are not copied and must outlive the open state.
  bool openBytes(ByteView bytes, Extent extent = Extent::kWhole);
  void close();
  bool isOpen() const { return open_; }
  // The message of the last failed open(); empty before any failure.
  const char* lastError() const { return errorText_ != nullptr ? errorText_ : ""; }
  // The cache as a source of pieces: what an output reads them from.
  const platform::SourceFile& source() const { return source_; }
  // Lets the system take back the memory of the pages read so far: a walk
  // over a large tree reads its tables once, and need not keep them.
  void forgetPages() const { source_.forgetPages(); }
  // Whether the file is still as it was opened (bytes in memory always are):
  // checked before a run reports what it read as complete. Damage if not.
  Status checkUnchanged() const;

  // How many bytes shorter the file is than its data blocks need: 0 for a
  // cache that holds them all.
  uint64_t missingBytes() const { return missingBytes_; }

  const FileHeader& fileHeader() const { return fileHeader_; }
  const DataBlockHeader& dataBlockHeader() const { return dataBlockHeader_; }

  uint32_t blockEntryCount() const { return blockEntries_.count(); }
  std::optional<BlockEntry> blockEntry(uint32_t index) const { return blockEntries_.at(index); }

  uint32_t fragmentCount() const { return fragmentationMap_.count(); }
  // The block after `blockIndex` in its chain, from the fragmentation map.
  std::optional<uint32_t> nextDataBlock(uint32_t blockIndex) const {
    const std::optional<FragmentationMapEntry> entry = fragmentationMap_.at(blockIndex);
    if (!entry) return std::nullopt;
    return entry->nextDataBlockIndex;
  }

  uint32_t itemCount() const { return directoryEntries_.count(); }
  std::optional<DirectoryEntry> directoryEntry(uint32_t index) const {
    return directoryEntries_.at(index);
  }

  // The item's name: "root" for item 0, otherwise its NUL-terminated text
  // in the name table. Nothing if the item is outside the directory, its
  // name starts outside the name table, or no NUL ends it inside the file
  // within kMaxPathLength characters.
  std::optional<std::string_view> itemName(uint32_t index) const;

  // Whether data block `index` lies whole inside the file: of a cache cut
  // short, a block that reaches past its end is one the cache lacks.
  bool holdsBlock(uint32_t index) const {
    return data_.contains(uint64_t{index} * dataBlockHeader_.dataBlockSize,
                          dataBlockHeader_.dataBlockSize);
  }
  // The first `length` bytes of data block `index`; nothing if the cache
  // does not hold the block or `length` is more than a data block holds
  // (the bytes after it belong to other blocks, or to no block).
  std::optional<platform::Piece> dataBlock(uint32_t index, uint32_t length) const;
  // The bytes of a piece, for a reader that needs them in memory (tests,
  // fuzzing); nothing if the piece leaves the file.
  std::optional<ByteView> bytesOf(platform::Piece piece) const {
    return file_.subView(piece.offset, piece.length);
  }

 private:
  bool checkAndHold(ByteView bytes, Extent extent);
  const char* locateSections(Extent extent);
  bool locateBlockTables(ByteCursor& cursor);
  bool locateDirectory(ByteCursor& cursor);
  bool locateDataRegion(ByteCursor& cursor, Extent extent);

  platform::SourceFile source_;
  bool open_ = false;
  const char* errorText_ = nullptr;
  ByteView file_;
  FileHeader fileHeader_{};
  DataBlockHeader dataBlockHeader_{};
  // The tables, each set once where the sections are located and checked
  // then to lie inside the file; empty while closed.
  RecordTable<BlockEntry> blockEntries_;
  RecordTable<FragmentationMapEntry> fragmentationMap_;
  RecordTable<DirectoryEntry> directoryEntries_;
  // The name table and the rest of the file: a name starts inside the
  // table's first nameTableSize_ bytes, and ends at the first NUL after it.
  ByteView names_;
  uint32_t nameTableSize_ = 0;
  ByteView data_;  // the data blocks, as far as the file holds them
  uint64_t missingBytes_ = 0;
};

// The pace at which a long walk lets the system take back the pages of the
// cache's tables read so far: a walk over a million items reads some
// eighty megabytes of them, which would otherwise stay in the process.
// Items may be counted from many threads at once.
class TablePaging {
 public:
  explicit TablePaging(const CacheArchive& archive) : archive_(archive) {}
  // Counts an item read; every so many, lets the pages go.
  void itemRead() const {
    if ((itemsRead_.fetch_add(1, std::memory_order_relaxed) + 1) % kItemsBetweenForgets == 0)
      archive_.forgetPages();
  }
  // Lets them go now: before a pass that reads them again.
  void forgetNow() const { archive_.forgetPages(); }

 private:
  static constexpr uint64_t kItemsBetweenForgets = 4096;
  const CacheArchive& archive_;
  mutable std::atomic<uint64_t> itemsRead_{0};
};

}  // namespace vaultcat
