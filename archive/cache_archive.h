// CacheArchive: one opened cache file.
//
// open() maps the whole file read-only, checks its version, walks the
// sections once to find where each begins, and checks that every header and
// table it will read, and the whole data region, lie inside the file. After
// that the records are read in place. Every accessor that takes an index
// read from the file checks it against its table and answers "nothing"
// rather than read outside it; nothing it hands out outlives close(). The
// bytes of files are handed out as pieces (where they lie in the cache),
// which the output reads from the source as suits it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "archive/byte_view.h"
#include "archive/cache_layout.h"
#include "archive/status.h"
#include "platform/piece.h"
#include "platform/source_file.h"

namespace vaultcat {

// Where each section begins, as byte offsets from the start of the file.
struct CacheSections {
  uint64_t fileHeader = 0;
  uint64_t blockEntryHeader = 0;
  uint64_t blockEntries = 0;
  uint64_t fragmentationMapHeader = 0;
  uint64_t fragmentationMap = 0;
  std::optional<uint64_t> blockEntryMapHeader;  // version 5 only
  std::optional<uint64_t> blockEntryMap;        // version 5 only
  uint64_t directoryHeader = 0;
  uint64_t directoryEntries = 0;
  uint64_t nameTable = 0;
  uint64_t directoryMapHeader = 0;
  uint64_t directoryMap = 0;
  uint64_t checksumHeader = 0;
  uint64_t checksumBody = 0;
  uint64_t dataBlockHeader = 0;
  uint64_t firstDataBlock = 0;
};

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

  // Maps and checks the named file. On failure the archive is closed and
  // lastError() says why.
  bool open(const std::string& path);
  // The same checks on a cache already in memory (tests and fuzzing). The
  // bytes are not copied and must outlive the open state.
  bool openBytes(ByteView bytes);
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

  const CacheSections& sections() const { return sections_; }
  const FileHeader& fileHeader() const { return fileHeader_; }
  const DataBlockHeader& dataBlockHeader() const { return dataBlockHeader_; }

  uint32_t blockEntryCount() const { return blockEntryHeader_.blockEntryCount; }
  std::optional<BlockEntry> blockEntry(uint32_t index) const {
    if (index >= blockEntryCount()) return std::nullopt;
    return BlockEntry::decode(file_.data() + sections_.blockEntries + BlockEntry::kSize * index);
  }

  uint32_t fragmentCount() const { return fragmentationMapHeader_.fragmentCount; }
  // The block after `blockIndex` in its chain, from the fragmentation map.
  std::optional<uint32_t> nextDataBlock(uint32_t blockIndex) const {
    if (blockIndex >= fragmentCount()) return std::nullopt;
    return file_.le32(sections_.fragmentationMap + FragmentationMapEntry::kSize * blockIndex);
  }

  uint32_t itemCount() const { return directoryHeader_.itemCount; }
  std::optional<DirectoryEntry> directoryEntry(uint32_t index) const {
    if (index >= itemCount()) return std::nullopt;
    return DirectoryEntry::decode(file_.data() + sections_.directoryEntries +
                                  DirectoryEntry::kSize * index);
  }

  // The item's name: "root" for item 0, otherwise its NUL-terminated text
  // in the name table. Nothing if the item is outside the directory, its
  // name starts outside the name table, or no NUL ends it inside the file
  // within kMaxPathLength characters.
  std::optional<std::string_view> itemName(uint32_t index) const;

  // The first `length` bytes of data block `index`; nothing if the block
  // is outside the data region or `length` is more than a data block holds
  // (the bytes after it belong to other blocks, or to no block).
  std::optional<platform::Piece> dataBlock(uint32_t index, uint32_t length) const;
  // The bytes of a piece, for a reader that needs them in memory (tests,
  // fuzzing); nothing if the piece leaves the file.
  std::optional<ByteView> bytesOf(platform::Piece piece) const {
    return file_.subView(piece.offset, piece.length);
  }

 private:
  bool checkAndHold(ByteView bytes);
  const char* locateSections();

  platform::SourceFile source_;
  bool open_ = false;
  const char* errorText_ = nullptr;
  ByteView file_;
  CacheSections sections_;
  FileHeader fileHeader_{};
  BlockEntryHeader blockEntryHeader_{};
  FragmentationMapHeader fragmentationMapHeader_{};
  DirectoryHeader directoryHeader_{};
  DataBlockHeader dataBlockHeader_{};
};

}  // namespace vaultcat
