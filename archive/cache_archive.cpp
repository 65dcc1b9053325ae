#include "archive/cache_archive.h"

#include "archive/damage_text.h"

namespace vaultcat {

bool CacheArchive::open(const std::string& path) {
  errorText_ = nullptr;
  close();
  if (!source_.map(path)) {
    errorText_ = kMapFailed;
    return false;
  }
  const std::span<const std::byte> bytes = source_.bytes();
  return checkAndHold(ByteView(bytes.data(), bytes.size()));
}

bool CacheArchive::openBytes(ByteView bytes) {
  errorText_ = nullptr;
  close();
  source_.hold({bytes.data(), static_cast<size_t>(bytes.size())});
  return checkAndHold(bytes);
}

bool CacheArchive::checkAndHold(ByteView bytes) {
  file_ = bytes;
  errorText_ = file_.empty() ? kMapFailed : locateSections();
  if (errorText_ != nullptr) {
    close();
    return false;
  }
  open_ = true;
  return true;
}

void CacheArchive::close() {
  open_ = false;
  source_.close();
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
  ByteCursor cursor(file_);
  if (!cursor.read(fileHeader_, at.fileHeader)) return kCorrupt;
  if (fileHeader_.formatVersion != kFormatVersion5 && fileHeader_.formatVersion != kFormatVersion6)
    return kBadVersion;
  if (!cursor.read(blockEntryHeader_, at.blockEntryHeader) ||
      !cursor.take(BlockEntry::kSize * blockEntryHeader_.blockEntryCount, at.blockEntries) ||
      !cursor.read(fragmentationMapHeader_, at.fragmentationMapHeader) ||
      !cursor.take(FragmentationMapEntry::kSize * fragmentationMapHeader_.fragmentCount,
                   at.fragmentationMap)) {
    return kCorrupt;
  }
  if (fileHeader_.formatVersion == kFormatVersion5) {
    // Only version 5 has the block entry map; its length is all that matters.
    BlockEntryMapHeader mapHeader{};
    if (!cursor.read(mapHeader, at.blockEntryMapHeader.emplace()) ||
        !cursor.take(BlockEntryMapHeader::kEntrySize * mapHeader.entryCount,
                     at.blockEntryMap.emplace())) {
      return kCorrupt;
    }
  }
  if (!cursor.read(directoryHeader_, at.directoryHeader) ||
      !cursor.take(DirectoryEntry::kSize * directoryHeader_.itemCount, at.directoryEntries) ||
      !cursor.take(directoryHeader_.nameTableSize, at.nameTable)) {
    return kCorrupt;
  }
  // The directory map is found from the directory's stored size, not from
  // the tables before it.
  cursor.moveTo(at.directoryHeader + directoryHeader_.directorySize);
  ChecksumHeader checksumHeader{};
  if (!cursor.take(DirectoryMapHeader::kSize, at.directoryMapHeader) ||
      !cursor.take(DirectoryMapHeader::kEntrySize * directoryHeader_.itemCount, at.directoryMap) ||
      !cursor.read(checksumHeader, at.checksumHeader) ||
      !cursor.take(checksumHeader.checksumSize, at.checksumBody) ||
      !cursor.read(dataBlockHeader_, at.dataBlockHeader)) {
    return kCorrupt;
  }
  // The data region may end exactly at the end of the file, not a byte
  // later. Both factors are below 2^32, so the product fits in 64 bits.
  cursor.moveTo(dataBlockHeader_.firstBlockOffset);
  if (!cursor.take(uint64_t{dataBlockHeader_.dataBlockCount} * dataBlockHeader_.dataBlockSize,
                   at.firstDataBlock)) {
    return kCorrupt;
  }
  sections_ = at;
  return nullptr;
}

Status CacheArchive::checkUnchanged() const {
  if (source_.unchanged()) return {};
  return source_.faulted() ? damage_text::cacheUnreadable() : damage_text::cacheChanged();
}

std::optional<std::string_view> CacheArchive::itemName(uint32_t index) const {
  if (index == kRootItem) return std::string_view("root");
  auto entry = directoryEntry(index);
  if (!entry || entry->nameOffset >= directoryHeader_.nameTableSize) return std::nullopt;
  return file_.cString(sections_.nameTable + entry->nameOffset, kMaxPathLength);
}

std::optional<platform::Piece> CacheArchive::dataBlock(uint32_t index, uint32_t length) const {
  if (index >= dataBlockHeader_.dataBlockCount || length > dataBlockHeader_.dataBlockSize)
    return std::nullopt;
  const platform::Piece piece{
      sections_.firstDataBlock + uint64_t{index} * dataBlockHeader_.dataBlockSize, length};
  if (!bytesOf(piece)) return std::nullopt;
  return piece;
}

}  // namespace vaultcat
