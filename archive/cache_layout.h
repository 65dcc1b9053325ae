// The on-disk layout of a cache file, as this reader knows it.
//
// A cache file is a run of sections, each starting where the one before it
// ends (docs/format.md draws them):
//
//   offset 0    FileHeader                  44 bytes
//   44          BlockEntryHeader            32 bytes
//   76          BlockEntry x blockEntryCount          28 bytes each
//               FragmentationMapHeader      16 bytes
//               FragmentationMapEntry x fragmentCount  4 bytes each
//               BlockEntryMapHeader         20 bytes     } version 5 only
//               BlockEntryMapEntry x entryCount  8 bytes } (not interpreted)
//               DirectoryHeader             56 bytes      } directorySize
//               DirectoryEntry x itemCount  28 bytes each } bytes in all,
//               name table                  nameTableSize } from the
//               three word tables, rest of the section    } DirectoryHeader
//               DirectoryMapHeader          8 bytes, at DirectoryHeader + directorySize
//               directory map               itemCount words (not interpreted)
//               ChecksumHeader              8 bytes
//               checksum body               checksumSize bytes (not interpreted)
//               DataBlockHeader             16 bytes read
//   firstBlockOffset  data blocks           dataBlockCount x dataBlockSize bytes
//
// Every field is a 32-bit unsigned little-endian word. Fields this reader
// has no use for are skipped by position and never examined. Each record
// below names its size and the offsets of the words it reads; decode() takes
// a pointer to a range the caller has checked holds kSize bytes.
#pragma once

#include <cstdint>

#include "archive/byte_view.h"

namespace vaultcat {

// Format versions this reader accepts. They differ only in the block entry
// map, which version 5 has and version 6 lacks.
inline constexpr uint32_t kFormatVersion5 = 5;
inline constexpr uint32_t kFormatVersion6 = 6;

// A data-block chain ends at this index; no other value ends one.
inline constexpr uint32_t kEndOfDataBlockChain = 0xFFFF;

// A block entry whose flags are exactly this value is invisible to the
// item lookup, even when it names the item being looked for.
inline constexpr uint32_t kHiddenBlockEntryFlags = 0x200F0000;

// The directory entry of the root folder; it is never anybody's child or
// sibling, so 0 also ends a folder's list of children.
inline constexpr uint32_t kRootItem = 0;

// Limits this reader sets. Real caches come from a platform whose paths stop
// at 260 characters, so a longer name or a deeper tree is damage. (Without
// a limit, a crafted file whose items all share one enormous name would
// list without end.) No item path longer than kMaxPathLength can be given
// to the extract command either.
inline constexpr uint32_t kMaxPathLength = 1023;
inline constexpr uint32_t kMaxFolderDepth = 1000;

struct FileHeader {
  static constexpr uint64_t kSize = 44;
  uint32_t formatVersion;  // +8: 5 or 6
  uint32_t cacheId;        // +12: which content the cache holds
  uint32_t blockSize;      // +32: chunk length when a run is copied out
  uint32_t blockCount;     // +36: bounds the block-entry scan; "no previous entry" marker

  static FileHeader decode(const std::byte* p) {
    return {loadLe32(p + 8), loadLe32(p + 12), loadLe32(p + 32), loadLe32(p + 36)};
  }
};

struct BlockEntryHeader {
  static constexpr uint64_t kSize = 32;
  uint32_t blockEntryCount;  // +0: entries that follow; also "no next entry" marker

  static BlockEntryHeader decode(const std::byte* p) { return {loadLe32(p)}; }
};

// One contiguous run of one file's bytes and the data-block chain holding it.
struct BlockEntry {
  static constexpr uint64_t kSize = 28;
  uint32_t entryFlags;               // +0
  uint32_t fileDataOffset;           // +4: where the run starts in the file
  uint32_t fileDataSize;             // +8: length of the run
  uint32_t firstDataBlockIndex;      // +12: head of the run's data-block chain
  uint32_t nextBlockEntryIndex;      // +16: blockEntryCount after the last run
  uint32_t previousBlockEntryIndex;  // +20: FileHeader.blockCount before the first
  uint32_t directoryItemIndex;       // +24: the file this run belongs to

  static BlockEntry decode(const std::byte* p) {
    return {loadLe32(p),      loadLe32(p + 4),  loadLe32(p + 8), loadLe32(p + 12),
            loadLe32(p + 16), loadLe32(p + 20), loadLe32(p + 24)};
  }
};

struct FragmentationMapHeader {
  static constexpr uint64_t kSize = 16;
  uint32_t fragmentCount;  // +0: words in the map, one per data block

  static FragmentationMapHeader decode(const std::byte* p) { return {loadLe32(p)}; }
};

// One word per data block: the block that follows it in its chain.
struct FragmentationMapEntry {
  static constexpr uint64_t kSize = 4;
  uint32_t nextDataBlockIndex;  // +0: 0xFFFF after the last block of a chain

  static FragmentationMapEntry decode(const std::byte* p) { return {loadLe32(p)}; }
};

// Version 5 only. Its entries are not interpreted; only their length counts.
struct BlockEntryMapHeader {
  static constexpr uint64_t kSize = 20;
  static constexpr uint64_t kEntrySize = 8;
  uint32_t entryCount;  // +0

  static BlockEntryMapHeader decode(const std::byte* p) { return {loadLe32(p)}; }
};

struct DirectoryHeader {
  static constexpr uint64_t kSize = 56;
  uint32_t itemCount;      // +12: directory entries, and words of the directory map
  uint32_t directorySize;  // +24: bytes from this header to the DirectoryMapHeader
  uint32_t nameTableSize;  // +28: bytes of NUL-terminated names

  static DirectoryHeader decode(const std::byte* p) {
    return {loadLe32(p + 12), loadLe32(p + 24), loadLe32(p + 28)};
  }
};

// One folder or file. Items are linked into a tree by index.
struct DirectoryEntry {
  static constexpr uint64_t kSize = 28;
  uint32_t nameOffset;        // +0: into the name table (never read for the root)
  uint32_t itemSize;          // +4: a file's length in bytes, whether or not the cache holds them
  uint32_t checksumIndex;     // +8: a file's entry in the checksum map; all ones for none
  uint32_t itemFlags;         // +12: 0 for a folder, anything else for a file
  uint32_t nextSiblingIndex;  // +20: 0 ends the folder's list
  uint32_t firstChildIndex;   // +24: 0 when the folder is empty

  bool isFolder() const { return itemFlags == 0; }

  static DirectoryEntry decode(const std::byte* p) {
    return {loadLe32(p),      loadLe32(p + 4),  loadLe32(p + 8),
            loadLe32(p + 12), loadLe32(p + 20), loadLe32(p + 24)};
  }
};

// Not interpreted; followed by itemCount words of directory map.
struct DirectoryMapHeader {
  static constexpr uint64_t kSize = 8;
  static constexpr uint64_t kEntrySize = 4;
};

struct ChecksumHeader {
  static constexpr uint64_t kSize = 8;
  uint32_t checksumSize;  // +4: bytes of checksum body that follow

  static ChecksumHeader decode(const std::byte* p) { return {loadLe32(p + 4)}; }
};

// Further words may follow; the blocks are found through firstBlockOffset alone.
struct DataBlockHeader {
  static constexpr uint64_t kSize = 16;
  uint32_t dataBlockCount;    // +4
  uint32_t dataBlockSize;     // +8
  uint32_t firstBlockOffset;  // +12: absolute file offset of block 0

  static DataBlockHeader decode(const std::byte* p) {
    return {loadLe32(p + 4), loadLe32(p + 8), loadLe32(p + 12)};
  }
};

}  // namespace vaultcat
