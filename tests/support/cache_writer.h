// A writer of cache files, for tests: builds a cache image from folders,
// files and their runs, and writes it out. It knows nothing of the reader;
// every section is written byte by byte, so tests can check the reader
// against files it did not make itself.
//
// The writer lays every section out exactly as a reader expects to walk it.
// Fields the reader never looks at get plausible, deterministic values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vaultcat::testsupport {

inline constexpr uint32_t kEndOfChain = 0xFFFF;            // ends a data-block chain
inline constexpr uint32_t kHiddenEntryFlags = 0x200F0000;  // entry the item lookup skips
inline constexpr uint32_t kRunEntryFlags = 0x0000C000;     // flags of an ordinary run's entry
inline constexpr uint32_t kFileItemFlags = 0x00004000;     // item flags of a file (0 = folder)

// One contiguous run of a file: `bytes` belong at `offset` in the file. Its
// data-block chain gets `extraChainBlocks` more blocks than the bytes need,
// filled with junk that a correct reader never copies.
struct Run {
  uint64_t offset = 0;
  std::string bytes;
  uint32_t extraChainBlocks = 0;
};
// Inside a GoogleTest body a bare `Run` names the fixture's Run(); use this.
using RunList = std::vector<Run>;

// Byte offsets of the words of each record and header that tests read or
// damage; a reader interprets none of the words left unnamed. The block
// entry, fragmentation map and block entry map headers open with the count
// of their table. Plain enumerators, so `section + kField` works too; tests
// take them in with `using namespace testsupport::fields`.
namespace fields {
enum FileHeaderField : uint32_t {
  kFormatVersion = 8,
  kCacheId = 12,
  kBlockSize = 32,
  kBlockCount = 36
};
enum BlockEntryField : uint32_t {
  kEntryFlags = 0,
  kFileDataOffset = 4,
  kFileDataSize = 8,
  kFirstDataBlock = 12,
  kNextEntry = 16,
  kPreviousEntry = 20,
  kDirectoryItem = 24
};
enum DirectoryHeaderField : uint32_t {  // the last two size the first and third word tables
  kDirectoryCacheId = 4,
  kItemCount = 12,
  kDirectorySize = 24,
  kNameTableSize = 28,
  kHashTableWords = 32,
  kFileTableWords = 36
};
enum DirectoryEntryField : uint32_t {
  kNameOffset = 0,
  kItemSize = 4,
  kChecksumIndex = 8,
  kItemFlags = 12,
  kNextSibling = 20,
  kFirstChild = 24
};
enum ChecksumField : uint32_t { kChecksumSize = 4, kChecksumEntryCount = 16 /* body + 8 */ };
enum DataBlockHeaderField : uint32_t {
  kDataBlockCount = 4,
  kDataBlockSize = 8,
  kFirstBlockOffset = 12
};
}  // namespace fields

// Absolute file offsets of every section, and of every named field.
struct CacheLayout {
  uint64_t fileHeader = 0, blockEntryHeader = 0, blockEntries = 0, fragmentationMapHeader = 0,
           fragmentationMap = 0, blockEntryMapHeader = 0 /* 0 when there is none */,
           directoryHeader = 0, directoryEntries = 0, nameTable = 0, directoryMapHeader = 0,
           directoryMap = 0, checksumHeader = 0, checksumBody = 0, dataBlockHeader = 0,
           firstDataBlock = 0;
  uint32_t dataBlockSize = 0, dataBlockCount = 0, blockEntryCount = 0, itemCount = 0;

  uint64_t blockEntry(uint32_t i) const { return blockEntries + 28ULL * i; }
  uint64_t blockEntry(uint32_t i, fields::BlockEntryField f) const { return blockEntry(i) + f; }
  uint64_t directoryEntry(uint32_t i) const { return directoryEntries + 28ULL * i; }
  uint64_t directoryEntry(uint32_t i, fields::DirectoryEntryField f) const {
    return directoryEntry(i) + f;
  }
  uint64_t fragment(uint32_t i) const { return fragmentationMap + 4ULL * i; }
  uint64_t dataBlock(uint32_t i) const { return firstDataBlock + uint64_t{dataBlockSize} * i; }

  uint64_t field(fields::FileHeaderField f) const { return fileHeader + f; }
  uint64_t field(fields::DirectoryHeaderField f) const { return directoryHeader + f; }
  uint64_t field(fields::ChecksumField f) const { return checksumHeader + f; }
  uint64_t field(fields::DataBlockHeaderField f) const { return dataBlockHeader + f; }
};

// A built cache. Only the sections before the data blocks and the used data
// blocks are held; unused blocks are zeros that take no memory.
class CacheImage {
 public:
  const CacheLayout& layout() const { return layout_; }
  uint64_t size() const { return size_; }
  std::vector<std::byte> bytes() const;  // the whole image; for small caches

  // What a correct extraction of `item` gives: every run placed at its
  // offset in chain order, uncovered bytes zero. Throws for a non-file.
  std::string expectedContent(uint32_t item) const;
  // Block-entry table indices of the item's ordinary entries, in chain order.
  std::vector<uint32_t> blockEntriesOf(uint32_t item) const;
  // The data blocks of a block entry's chain, read back from the image.
  std::vector<uint32_t> chainOf(uint32_t entry) const;

  // Read or overwrite a little-endian word anywhere in the image (both throw
  // std::out_of_range past the end), or cut or extend the image with zeros.
  uint32_t get32(uint64_t offset) const;
  void set32(uint64_t offset, uint32_t value);
  void truncate(uint64_t newSize);

  // Writes the image; unused data blocks stay sparse holes. False on failure.
  bool writeFile(const std::string& path) const;

 private:
  friend class CacheBuilder;
  struct Block {  // a used data block
    uint32_t index;
    std::shared_ptr<const std::string> source;  // null: a chain block past the run's bytes
    uint64_t from;                              // first byte of `source` in this block
    uint32_t length;                            // bytes of `source`; the rest is junk
  };
  struct File {
    std::vector<std::pair<uint64_t, std::shared_ptr<const std::string>>> runs;  // chain order
    std::vector<uint32_t> entries;
  };
  void read(uint64_t offset, std::byte* out, uint64_t count) const;

  CacheLayout layout_;
  std::vector<std::byte> head_;            // every byte before data block 0
  std::vector<Block> blocks_;              // sorted by index
  std::map<uint64_t, std::byte> patches_;  // edits at or past data block 0
  std::map<uint32_t, File> files_;
  uint64_t size_ = 0;
  uint64_t cut_ = 0;  // built bytes at or past this offset were truncated away
};

class CacheBuilder {
 public:
  // Version 5 writes a block entry map; any other version (6, or a bad one
  // for refusal tests) does not.
  explicit CacheBuilder(uint32_t formatVersion = 6);
  CacheBuilder& cacheId(uint32_t id) { return set(cacheId_, id); }
  CacheBuilder& blockSize(uint32_t bytes);  // default 8192; also the data block size
  // Chains take blocks in a seeded random order; the entry table is permuted, links unchanged.
  CacheBuilder& shuffleDataBlocks(uint32_t seed) { return set(dataSeed_, seed); }
  CacheBuilder& shuffleBlockEntries(uint32_t seed) { return set(entrySeed_, seed); }
  // Unused blocks before the next chain's blocks, and after the last used one.
  CacheBuilder& reserveDataBlocks(uint32_t count) {
    return set(pendingReserve_, pendingReserve_ + count);
  }
  CacheBuilder& spareDataBlocks(uint32_t count) { return set(spare_, spare_ + count); }
  // Uninterpreted bytes closing the directory, and between DataBlockHeader and block 0.
  CacheBuilder& directoryPadding(uint32_t bytes) { return set(directoryPadding_, bytes); }
  CacheBuilder& dataPadding(uint32_t bytes) { return set(dataPadding_, bytes); }

  // Items are numbered in order of addition (root is 0) and listed in their
  // parent in that order. Throws std::invalid_argument for an unknown parent
  // or a name holding a NUL.
  uint32_t addFolder(uint32_t parent, std::string name) {
    return addItem(parent, std::move(name), false);
  }
  uint32_t addFile(uint32_t parent, std::string name, std::string bytes) {  // one run at 0
    return addFile(parent, std::move(name), std::vector<Run>{{0, std::move(bytes)}});
  }
  // Runs in chain order; offsets may go backwards and leave holes. No runs
  // at all gives a file without block entries.
  uint32_t addFile(uint32_t parent, std::string name, std::vector<Run> runs);
  // A block entry flagged kHiddenEntryFlags naming `item`, with its own chain
  // of decoy bytes, placed in the table before the item's ordinary entries.
  void addHiddenEntry(uint32_t item, std::string bytes);

  CacheImage build() const;

 private:
  struct Item {
    std::string name;
    uint32_t parent = 0;
    bool file = false;
    uint32_t firstChild = 0, lastChild = 0, nextSibling = 0;
  };
  struct Chain {  // one block entry and its data blocks, in order of addition
    uint32_t item;
    bool hidden;
    uint64_t offset;
    std::shared_ptr<const std::string> bytes;
    uint32_t extraBlocks;
    uint64_t reserveBefore;
  };
  template <class T, class V>
  CacheBuilder& set(T& field, V value) {
    field = value;
    return *this;
  }
  uint32_t addItem(uint32_t parent, std::string name, bool file);
  void addChain(uint32_t item, bool hidden, uint64_t offset, std::string bytes, uint32_t extra);

  uint32_t version_, cacheId_ = 0, blockSize_ = 8192, directoryPadding_ = 0, dataPadding_ = 0;
  std::optional<uint32_t> dataSeed_, entrySeed_;  // shuffle when set
  uint64_t pendingReserve_ = 0, spare_ = 0;
  std::vector<Item> items_;
  std::vector<Chain> chains_;
};

// `count` bytes drawn from every byte value ("\r", "\n" and NUL included, so a
// text-mode write shows), different for each seed.
std::string sampleBytes(size_t count, uint32_t seed);

}  // namespace vaultcat::testsupport
