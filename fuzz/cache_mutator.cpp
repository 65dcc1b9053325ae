// A mutator that knows where the cache's 32-bit fields are.
//
// Byte-level mutation rarely gets past the version check and the check that
// the data region fits, and almost never produces the values a reader must
// treat specially. So, half the time, this mutator opens the input with the
// real reader to find its sections, picks one header or table record, and
// sets one whole word of it to 0, 1, 0xFFFF, 0xFFFFFFFF, the record's own
// index, a table's size (the "no next" and "no previous" markers) or its
// old value plus or minus one. The other half goes to libFuzzer's own
// mutations.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "archive/cache_archive.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

using vaultcat::BlockEntry;
using vaultcat::BlockEntryHeader;
using vaultcat::BlockEntryMapHeader;
using vaultcat::CacheArchive;
using vaultcat::ChecksumHeader;
using vaultcat::DataBlockHeader;
using vaultcat::DirectoryEntry;
using vaultcat::DirectoryHeader;
using vaultcat::DirectoryMapHeader;
using vaultcat::FileHeader;
using vaultcat::FragmentationMapEntry;
using vaultcat::FragmentationMapHeader;

struct Region {
  uint64_t start;
  uint64_t recordSize;
  uint32_t count;
};

uint32_t read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <class Record>
Record recordAt(const uint8_t* data, uint64_t at) {
  return Record::decode(reinterpret_cast<const std::byte*>(data + at));
}

uint32_t pick(std::minstd_rand& rng, uint64_t bound) {
  return static_cast<uint32_t>(rng() % bound);
}

// Where each header and table of a cache the reader accepted lies. The
// reader keeps only the tables it reads records from, so the headers are
// found here as it walks past them; every step stays inside the bytes,
// since the reader's own walk did.
std::vector<Region> regionsOf(const uint8_t* data, const CacheArchive& archive) {
  std::vector<Region> regions;
  uint64_t at = 0;
  const auto add = [&](uint64_t recordSize, uint32_t count) {
    regions.push_back({at, recordSize, count});
    at += recordSize * count;
  };
  add(FileHeader::kSize, 1);
  add(BlockEntryHeader::kSize, 1);
  add(BlockEntry::kSize, archive.blockEntryCount());
  add(FragmentationMapHeader::kSize, 1);
  add(FragmentationMapEntry::kSize, archive.fragmentCount());
  if (archive.fileHeader().formatVersion == vaultcat::kFormatVersion5) {
    const uint32_t entries = recordAt<BlockEntryMapHeader>(data, at).entryCount;
    add(BlockEntryMapHeader::kSize, 1);
    at += BlockEntryMapHeader::kEntrySize * entries;
  }
  const uint64_t directory = at;
  add(DirectoryHeader::kSize, 1);
  add(DirectoryEntry::kSize, archive.itemCount());
  at = directory + recordAt<DirectoryHeader>(data, directory).directorySize;
  add(DirectoryMapHeader::kSize, 1);
  at += DirectoryMapHeader::kEntrySize * archive.itemCount();
  const uint32_t checksumSize = recordAt<ChecksumHeader>(data, at).checksumSize;
  add(ChecksumHeader::kSize, 1);
  at += checksumSize;
  add(DataBlockHeader::kSize, 1);
  return regions;
}

// Sets one word at a field boundary. Returns false if there is no word to set.
bool editField(uint8_t* data, size_t size, std::minstd_rand& rng) {
  if (size < 4) return false;
  CacheArchive archive;
  std::vector<Region> regions;
  std::vector<uint32_t> markers;
  if (archive.openBytes(vaultcat::ByteView(reinterpret_cast<const std::byte*>(data), size))) {
    regions = regionsOf(data, archive);
    markers = {archive.blockEntryCount(), archive.fileHeader().blockCount, archive.itemCount(),
               archive.fragmentCount(), archive.dataBlockHeader().dataBlockCount};
  } else {
    // Not a cache the reader accepts (yet): any aligned word of the first
    // records, where the version and the counts live.
    regions = {{0, 4, static_cast<uint32_t>(std::min<size_t>(size / 4, 64))}};
  }
  const Region& region = regions[pick(rng, regions.size())];
  if (region.count == 0) return false;
  const uint32_t record = pick(rng, region.count);
  const uint64_t at =
      region.start + region.recordSize * record + 4 * pick(rng, region.recordSize / 4);
  if (at + 4 > size) return false;

  const uint32_t old = read32(data + at);
  const uint32_t choice = pick(rng, 8);
  const uint32_t marker = choice != 5       ? 0
                          : markers.empty() ? old ^ 0x80000000u
                                            : markers[pick(rng, markers.size())];
  const uint32_t values[8] = {0, 1, 0xFFFF, 0xFFFFFFFF, record, marker, old + 1, old - 1};
  write32(data + at, values[choice]);
  return true;
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
  std::minstd_rand rng(seed);
  if (rng() % 2 == 0 && editField(data, size, rng)) return size;
  return LLVMFuzzerMutate(data, size, maxSize);
}
