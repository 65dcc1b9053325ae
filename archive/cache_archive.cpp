#include "archive/cache_archive.h"

#include "archive/damage_text.h"

namespace vaultcat {

bool CacheArchive::open(const std::string& path, Extent extent) {
  errorText_ = nullptr;
  close();
  if (!source_.map(path)) {
    errorText_ = kMapFailed;
    return false;
  }
  const std::span<const std::byte> bytes = source_.bytes();
  return checkAndHold(ByteView(bytes.data(), bytes.size()), extent);
}

bool CacheArchive::openBytes(ByteView bytes, Extent extent) {
  errorText_ = nullptr;
  close();
  source_.hold({bytes.data(), static_cast<size_t>(bytes.size())});
  return checkAndHold(bytes, extent);
}

bool CacheArchive::checkAndHold(ByteView bytes, Extent extent) {
  file_ = bytes;
  errorText_ = file_.empty() ? kMapFailed : locateSections(extent);
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
  // The tables bound every accessor; left from the last file they would
  // index into bytes that are gone.
  file_ = ByteView();
  fileHeader_ = {};
  dataBlockHeader_ = {};
  blockEntries_ = {};
  fragmentationMap_ = {};
  directoryEntries_ = {};
  names_ = ByteView();
  nameTableSize_ = 0;
  data_ = ByteView();
  missingBytes_ = 0;
}

// Walks the sections in file order. Each position follows from the counts
// and sizes read before it, so each header is checked to lie inside the file
// before it is decoded, and each table before the next position is taken
// from its end. All sums are 64-bit: no 32-bit count or size can wrap them.
// A failure leaves tables set that close() then clears.
const char* CacheArchive::locateSections(Extent extent) {
  ByteCursor cursor(file_);
  if (!cursor.read(fileHeader_)) return kCorrupt;
  if (fileHeader_.formatVersion != kFormatVersion5 && fileHeader_.formatVersion != kFormatVersion6)
    return kBadVersion;
  if (!locateBlockTables(cursor) || !locateDirectory(cursor) || !locateDataRegion(cursor, extent))
    return kCorrupt;
  return nullptr;
}

// The block entries and the fragmentation map, and in version 5 the block
// entry map after them.
bool CacheArchive::locateBlockTables(ByteCursor& cursor) {
  BlockEntryHeader blockEntryHeader{};
  FragmentationMapHeader fragmentationMapHeader{};
  if (!cursor.read(blockEntryHeader) ||
      !cursor.take(blockEntryHeader.blockEntryCount, blockEntries_) ||
      !cursor.read(fragmentationMapHeader) ||
      !cursor.take(fragmentationMapHeader.fragmentCount, fragmentationMap_)) {
    return false;
  }
  if (fileHeader_.formatVersion != kFormatVersion5) return true;
  // Only version 5 has the block entry map; its length is all that matters.
  BlockEntryMapHeader mapHeader{};
  return cursor.read(mapHeader) &&
         cursor.skip(BlockEntryMapHeader::kEntrySize * mapHeader.entryCount);
}

// The directory and its names, then what lies between it and the data
// blocks, up to and including the data block header.
bool CacheArchive::locateDirectory(ByteCursor& cursor) {
  const uint64_t directoryStart = cursor.position();
  DirectoryHeader directory{};
  if (!cursor.read(directory) || !cursor.take(directory.itemCount, directoryEntries_)) return false;
  const uint64_t namesStart = cursor.position();
  if (!cursor.skip(directory.nameTableSize)) return false;
  names_ = *file_.subView(namesStart, file_.size() - namesStart);
  nameTableSize_ = directory.nameTableSize;
  // The directory map is found from the directory's stored size, not from
  // the tables before it.
  cursor.moveTo(directoryStart + directory.directorySize);
  ChecksumHeader checksumHeader{};
  return cursor.skip(DirectoryMapHeader::kSize) &&
         cursor.skip(DirectoryMapHeader::kEntrySize * directory.itemCount) &&
         cursor.read(checksumHeader) && cursor.skip(checksumHeader.checksumSize) &&
         cursor.read(dataBlockHeader_);
}

// The data region may end exactly at the end of the file, not a byte
// later, unless a cache cut short is asked for: then it holds what lies
// inside the file. Both factors are below 2^32, so the product fits in 64
// bits.
bool CacheArchive::locateDataRegion(ByteCursor& cursor, Extent extent) {
  const uint64_t first = dataBlockHeader_.firstBlockOffset;
  const uint64_t region =
      uint64_t{dataBlockHeader_.dataBlockCount} * dataBlockHeader_.dataBlockSize;
  cursor.moveTo(first);
  if (cursor.take(region, data_)) return true;
  if (extent != Extent::kMayBeCut) return false;
  data_ = first < file_.size() ? *file_.subView(first, file_.size() - first) : ByteView();
  missingBytes_ = first + region - file_.size();
  return true;
}

Status CacheArchive::checkUnchanged() const {
  if (source_.unchanged()) return {};
  return source_.faulted() ? damage_text::cacheUnreadable() : damage_text::cacheChanged();
}

std::optional<std::string_view> CacheArchive::itemName(uint32_t index) const {
  if (index == kRootItem) return std::string_view("root");
  auto entry = directoryEntry(index);
  if (!entry || entry->nameOffset >= nameTableSize_) return std::nullopt;
  return names_.cString(entry->nameOffset, kMaxPathLength);
}

std::optional<platform::Piece> CacheArchive::dataBlock(uint32_t index, uint32_t length) const {
  if (index >= dataBlockHeader_.dataBlockCount || length > dataBlockHeader_.dataBlockSize ||
      !holdsBlock(index))
    return std::nullopt;
  // Checked inside the data region, the piece says where it lies in the
  // file.
  const uint64_t start = uint64_t{index} * dataBlockHeader_.dataBlockSize;
  return platform::Piece{dataBlockHeader_.firstBlockOffset + start, length};
}

}  // namespace vaultcat
