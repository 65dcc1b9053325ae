#include "archive/cache_archive.h"

namespace vaultcat {

bool CacheArchive::open(const std::string& path) {
  errorText_ = nullptr;
  close();
  if (!mapping_.map(path)) {
    errorText_ = kMapFailed;
    return false;
  }
  return adopt(mapping_.bytes(), path);
}

bool CacheArchive::openBytes(ByteView bytes) {
  errorText_ = nullptr;
  close();
  return adopt(bytes, std::string());
}

bool CacheArchive::adopt(ByteView bytes, const std::string& path) {
  file_ = bytes;
  errorText_ = file_.empty() ? kMapFailed : locateSections();
  if (errorText_ != nullptr) {
    close();
    return false;
  }
  open_ = true;
  fileName_ = path;
  return true;
}

void CacheArchive::close() {
  open_ = false;
  fileName_.clear();
  mapping_.unmap();
  file_ = ByteView();
  sections_ = CacheSections();
  // The counts bound every accessor; left from the last file they would
  // index into bytes that are gone.
  fileHeader_ = {};
  blockEntryHeader_ = {};
  fragmentationMapHeader_ = {};
  directoryHeader_ = {};
  dataBlockHeader_ = {};
}

// Walks the sections in file order. Each position follows from the counts
// and sizes read before it, so each header is checked to lie inside the file
// before it is decoded, and each table before the next position is taken
// from its end. All sums are 64-bit: no 32-bit count or size can wrap them.
const char* CacheArchive::locateSections() {
  CacheSections at;
  const ByteView& f = file_;

  if (!f.contains(at.fileHeader, FileHeader::kSize)) return kCorrupt;
  fileHeader_ = FileHeader::decode(f.data());
  if (fileHeader_.formatVersion != kFormatVersion5 && fileHeader_.formatVersion != kFormatVersion6)
    return kBadVersion;

  at.blockEntryHeader = FileHeader::kSize;
  if (!f.contains(at.blockEntryHeader, BlockEntryHeader::kSize)) return kCorrupt;
  blockEntryHeader_ = BlockEntryHeader::decode(f.data() + at.blockEntryHeader);

  at.blockEntries = at.blockEntryHeader + BlockEntryHeader::kSize;
  uint64_t blockEntriesSize = BlockEntry::kSize * blockEntryHeader_.blockEntryCount;
  if (!f.contains(at.blockEntries, blockEntriesSize)) return kCorrupt;

  at.fragmentationMapHeader = at.blockEntries + blockEntriesSize;
  if (!f.contains(at.fragmentationMapHeader, FragmentationMapHeader::kSize)) return kCorrupt;
  fragmentationMapHeader_ = FragmentationMapHeader::decode(f.data() + at.fragmentationMapHeader);

  at.fragmentationMap = at.fragmentationMapHeader + FragmentationMapHeader::kSize;
  uint64_t mapSize = FragmentationMapEntry::kSize * fragmentationMapHeader_.fragmentCount;
  if (!f.contains(at.fragmentationMap, mapSize)) return kCorrupt;

  at.directoryHeader = at.fragmentationMap + mapSize;
  if (fileHeader_.formatVersion == kFormatVersion5) {
    // Only version 5 has the block entry map; its length is all that matters.
    at.blockEntryMapHeader = at.directoryHeader;
    if (!f.contains(*at.blockEntryMapHeader, BlockEntryMapHeader::kSize)) return kCorrupt;
    auto mapHeader = BlockEntryMapHeader::decode(f.data() + *at.blockEntryMapHeader);
    at.blockEntryMap = *at.blockEntryMapHeader + BlockEntryMapHeader::kSize;
    uint64_t entriesSize = BlockEntryMapHeader::kEntrySize * mapHeader.entryCount;
    if (!f.contains(*at.blockEntryMap, entriesSize)) return kCorrupt;
    at.directoryHeader = *at.blockEntryMap + entriesSize;
  }

  if (!f.contains(at.directoryHeader, DirectoryHeader::kSize)) return kCorrupt;
  directoryHeader_ = DirectoryHeader::decode(f.data() + at.directoryHeader);

  at.directoryEntries = at.directoryHeader + DirectoryHeader::kSize;
  uint64_t entriesSize = DirectoryEntry::kSize * directoryHeader_.itemCount;
  if (!f.contains(at.directoryEntries, entriesSize)) return kCorrupt;

  at.nameTable = at.directoryEntries + entriesSize;
  if (!f.contains(at.nameTable, directoryHeader_.nameTableSize)) return kCorrupt;

  // The directory map is found from the directory's stored size, not from
  // the tables before it.
  at.directoryMapHeader = at.directoryHeader + directoryHeader_.directorySize;
  if (!f.contains(at.directoryMapHeader, DirectoryMapHeader::kSize)) return kCorrupt;

  at.directoryMap = at.directoryMapHeader + DirectoryMapHeader::kSize;
  uint64_t directoryMapSize = DirectoryMapHeader::kEntrySize * directoryHeader_.itemCount;
  if (!f.contains(at.directoryMap, directoryMapSize)) return kCorrupt;

  at.checksumHeader = at.directoryMap + directoryMapSize;
  if (!f.contains(at.checksumHeader, ChecksumHeader::kSize)) return kCorrupt;
  auto checksumHeader = ChecksumHeader::decode(f.data() + at.checksumHeader);

  at.checksumBody = at.checksumHeader + ChecksumHeader::kSize;
  if (!f.contains(at.checksumBody, checksumHeader.checksumSize)) return kCorrupt;

  at.dataBlockHeader = at.checksumBody + checksumHeader.checksumSize;
  if (!f.contains(at.dataBlockHeader, DataBlockHeader::kSize)) return kCorrupt;
  dataBlockHeader_ = DataBlockHeader::decode(f.data() + at.dataBlockHeader);

  // The data region may end exactly at the end of the file, not a byte
  // later. Both factors are below 2^32, so the product fits in 64 bits.
  at.firstDataBlock = dataBlockHeader_.firstBlockOffset;
  uint64_t dataSize =
      uint64_t{dataBlockHeader_.dataBlockCount} * uint64_t{dataBlockHeader_.dataBlockSize};
  if (!f.contains(at.firstDataBlock, dataSize)) return kCorrupt;

  sections_ = at;
  return nullptr;
}

std::optional<std::string_view> CacheArchive::itemName(uint32_t index) const {
  if (index == kRootItem) return std::string_view("root");
  auto entry = directoryEntry(index);
  if (!entry || entry->nameOffset >= directoryHeader_.nameTableSize) return std::nullopt;
  return file_.cString(sections_.nameTable + entry->nameOffset, kMaxNameLength);
}

std::optional<ByteView> CacheArchive::dataBlock(uint32_t index, uint32_t length) const {
  if (index >= dataBlockHeader_.dataBlockCount || length > dataBlockHeader_.dataBlockSize)
    return std::nullopt;
  uint64_t start = sections_.firstDataBlock + uint64_t{index} * dataBlockHeader_.dataBlockSize;
  return file_.subView(start, length);
}

}  // namespace vaultcat
