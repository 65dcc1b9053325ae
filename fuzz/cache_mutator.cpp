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

using vaultcat::CacheArchive;

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

uint32_t pick(std::minstd_rand& rng, uint64_t bound) {
  return static_cast<uint32_t>(rng() % bound);
}

// Sets one word at a field boundary. Returns false if there is no word to set.
bool editField(uint8_t* data, size_t size, std::minstd_rand& rng) {
  if (size < 4) return false;
  CacheArchive archive;
  std::vector<Region> regions;
  std::vector<uint32_t> markers;
  if (archive.openBytes(vaultcat::ByteView(reinterpret_cast<const std::byte*>(data), size))) {
    const auto& s = archive.sections();
    regions = {
        {s.fileHeader, vaultcat::FileHeader::kSize, 1},
        {s.blockEntryHeader, vaultcat::BlockEntryHeader::kSize, 1},
        {s.blockEntries, vaultcat::BlockEntry::kSize, archive.blockEntryCount()},
        {s.fragmentationMapHeader, vaultcat::FragmentationMapHeader::kSize, 1},
        {s.fragmentationMap, vaultcat::FragmentationMapEntry::kSize, archive.fragmentCount()},
        {s.directoryHeader, vaultcat::DirectoryHeader::kSize, 1},
        {s.directoryEntries, vaultcat::DirectoryEntry::kSize, archive.itemCount()},
        {s.directoryMapHeader, vaultcat::DirectoryMapHeader::kSize, 1},
        {s.checksumHeader, vaultcat::ChecksumHeader::kSize, 1},
        {s.dataBlockHeader, vaultcat::DataBlockHeader::kSize, 1},
    };
    if (s.blockEntryMapHeader) {
      regions.push_back({*s.blockEntryMapHeader, vaultcat::BlockEntryMapHeader::kSize, 1});
    }
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
