#include "support/cache_writer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <random>
#include <stdexcept>

namespace vaultcat::testsupport {
namespace {

constexpr uint64_t kMaxWord = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kChecksumPiece = 32768;  // the bytes each checksum covers

// Appends little-endian words and raw bytes; also patches words in place.
class Out {
 public:
  uint64_t pos() const { return bytes.size(); }
  void u32(uint64_t v) {
    if (v > kMaxWord) throw std::length_error("cache field does not fit in 32 bits");
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(std::byte((v >> shift) & 0xFF));
  }
  void words(std::initializer_list<uint64_t> values) {
    for (uint64_t v : values) u32(v);
  }
  void fill(uint64_t count, uint8_t value) { bytes.insert(bytes.end(), count, std::byte{value}); }
  void text(const std::string& s) {
    for (char c : s) bytes.push_back(std::byte(static_cast<unsigned char>(c)));
    bytes.push_back(std::byte{0});
  }
  void put32(uint64_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      bytes[at + static_cast<uint64_t>(i)] = std::byte((v >> (8 * i)) & 0xFF);
  }
  std::vector<std::byte> bytes;
};

// Bytes of a chain block that lie past its run's data: never part of a file.
std::byte junk(uint32_t block, uint64_t at) {
  return std::byte(static_cast<uint8_t>(0xA5u ^ (block * 29u) ^ static_cast<uint32_t>(at * 7u)));
}

// Fisher-Yates over v[from..]; written out so a seed gives the same order
// on every standard library.
template <class T>
void shuffleFrom(std::vector<T>& v, size_t from, std::mt19937& rng) {
  for (size_t i = v.size(); i > from + 1; --i) std::swap(v[i - 1], v[from + rng() % (i - from)]);
}

}  // namespace

// ---------------------------------------------------------------- builder

CacheBuilder::CacheBuilder(uint32_t formatVersion) : version_(formatVersion) {
  items_.push_back(Item{"root", 0, false});
}

CacheBuilder& CacheBuilder::blockSize(uint32_t bytes) {
  if (bytes == 0) throw std::invalid_argument("block size must not be 0");
  blockSize_ = bytes;
  return *this;
}

uint32_t CacheBuilder::addItem(uint32_t parent, std::string name, bool file) {
  if (parent >= items_.size()) throw std::invalid_argument("no such parent item");
  if (name.find('\0') != std::string::npos) throw std::invalid_argument("item name holds a NUL");
  const auto index = static_cast<uint32_t>(items_.size());
  items_.push_back(Item{std::move(name), parent, file});
  Item& p = items_[parent];
  (p.firstChild == 0 ? p.firstChild : items_[p.lastChild].nextSibling) = index;
  p.lastChild = index;
  return index;
}

void CacheBuilder::addChain(uint32_t item, bool hidden, uint64_t offset, std::string bytes,
                            uint32_t extra) {
  if (offset > kMaxWord || bytes.size() > kMaxWord) throw std::invalid_argument("run too large");
  chains_.push_back(Chain{item, hidden, offset,
                          std::make_shared<const std::string>(std::move(bytes)), extra,
                          pendingReserve_});
  pendingReserve_ = 0;
}

uint32_t CacheBuilder::addFile(uint32_t parent, std::string name, std::vector<Run> runs) {
  const uint32_t item = addItem(parent, std::move(name), true);
  for (Run& run : runs)
    addChain(item, false, run.offset, std::move(run.bytes), run.extraChainBlocks);
  return item;
}

void CacheBuilder::addHiddenEntry(uint32_t item, std::string bytes) {
  if (item >= items_.size()) throw std::invalid_argument("no such item");
  addChain(item, true, 0, std::move(bytes), 0);
}

CacheImage CacheBuilder::build() const {
  const uint64_t bs = blockSize_;
  const auto itemCount = static_cast<uint32_t>(items_.size());
  auto blocksOf = [&](const Chain& c) { return (c.bytes->size() + bs - 1) / bs + c.extraBlocks; };

  // Data blocks: chains take blocks from a counter that never hands out the
  // chain terminator. Reserved blocks split the counter into segments; with
  // shuffling, the blocks of each segment are dealt out in random order.
  std::vector<uint32_t> taken;  // blocks of all chains, chain after chain
  std::vector<size_t> chainStart(chains_.size() + 1);
  uint64_t counter = 0;
  std::mt19937 dataRng(dataSeed_.value_or(0));
  for (size_t c = 0; c < chains_.size();) {
    counter += chains_[c].reserveBefore;
    const size_t segment = taken.size();
    do {
      chainStart[c] = taken.size();
      for (uint64_t n = blocksOf(chains_[c]); n > 0; --n) {
        if (counter == kEndOfChain) ++counter;
        if (counter >= kMaxWord) throw std::length_error("too many data blocks");
        taken.push_back(static_cast<uint32_t>(counter++));
      }
    } while (++c < chains_.size() && chains_[c].reserveBefore == 0);
    if (dataSeed_) shuffleFrom(taken, segment, dataRng);
  }
  chainStart[chains_.size()] = taken.size();
  const uint64_t blockTotal = counter + pendingReserve_ + spare_;

  // Block entry table: per item, hidden entries first, then its runs.
  std::vector<std::vector<size_t>> byItem(items_.size());
  for (size_t c = 0; c < chains_.size(); ++c) byItem[chains_[c].item].push_back(c);
  auto hiddenFirst = [&](std::vector<size_t>& v) {
    std::stable_partition(v.begin(), v.end(), [&](size_t c) { return chains_[c].hidden; });
  };
  std::vector<size_t> table;  // chain of each table slot
  for (auto chains : byItem) {
    hiddenFirst(chains);
    table.insert(table.end(), chains.begin(), chains.end());
  }
  if (entrySeed_) {
    std::mt19937 entryRng(*entrySeed_);
    shuffleFrom(table, 0, entryRng);
    // Put each item's hidden entries back into its lowest slots.
    std::vector<std::vector<size_t>> slots(items_.size());
    for (size_t t = 0; t < table.size(); ++t) slots[chains_[table[t]].item].push_back(t);
    for (const auto& s : slots) {
      std::vector<size_t> chains;
      for (size_t t : s) chains.push_back(table[t]);
      hiddenFirst(chains);
      for (size_t k = 0; k < s.size(); ++k) table[s[k]] = chains[k];
    }
  }
  const uint64_t entryCount = table.size();
  std::vector<uint64_t> slotOf(chains_.size());
  for (size_t t = 0; t < table.size(); ++t) slotOf[table[t]] = t;
  std::vector<uint64_t> prev(chains_.size(), entryCount), next(chains_.size(), entryCount);
  for (const auto& chains : byItem) {
    size_t last = chains_.size();
    for (size_t c : chains) {
      if (chains_[c].hidden) continue;
      if (last != chains_.size()) prev[c] = slotOf[last], next[last] = slotOf[c];
      last = c;
    }
  }

  // A file's recorded size: the end of its furthest run.
  std::vector<uint64_t> sizes(items_.size(), 0);
  for (const Chain& ch : chains_)
    if (!ch.hidden && !ch.bytes->empty())
      sizes[ch.item] = std::max(sizes[ch.item], ch.offset + ch.bytes->size());
  // Every file with bytes has an entry in the checksum map, and a checksum
  // for each 32 KiB of it; others have none (all ones).
  uint32_t fileCount = 0;
  std::vector<uint32_t> checksumIndex(items_.size(), kMaxWord);
  std::vector<std::pair<uint64_t, uint64_t>> checksumMap;  // count, first
  uint64_t checksumCount = 0;
  for (uint32_t i = 0; i < itemCount; ++i) {
    if (!items_[i].file) continue;
    ++fileCount;
    if (sizes[i] == 0) continue;
    checksumIndex[i] = static_cast<uint32_t>(checksumMap.size());
    const uint64_t pieces = (std::min(sizes[i], kMaxWord) + kChecksumPiece - 1) / kChecksumPiece;
    checksumMap.emplace_back(pieces, checksumCount);
    checksumCount += pieces;
  }

  CacheImage image;
  CacheLayout& L = image.layout_;
  Out out;

  // FileHeader; +28 (file size) is filled in at the end.
  out.words({1, 1, version_, cacheId_, 1, 0, 0, 0, bs, entryCount, blockTotal});
  L.blockEntryHeader = out.pos();
  out.words({entryCount, entryCount, entryCount, 0, 0, 0, 0, 3 * entryCount});
  L.blockEntries = out.pos();
  for (size_t c : table) {
    const Chain& ch = chains_[c];
    const bool empty = chainStart[c] == chainStart[c + 1];
    out.words({ch.hidden ? kHiddenEntryFlags : kRunEntryFlags, ch.offset, ch.bytes->size(),
               empty ? kEndOfChain : taken[chainStart[c]], next[c], prev[c], ch.item});
  }
  L.fragmentationMapHeader = out.pos();
  out.words({blockTotal, counter, 0, blockTotal + counter});
  L.fragmentationMap = out.pos();
  for (uint64_t b = 0; b < blockTotal; ++b) out.u32(kEndOfChain);
  for (size_t c = 0; c < chains_.size(); ++c)
    for (size_t k = chainStart[c]; k + 1 < chainStart[c + 1]; ++k)
      out.put32(L.fragment(taken[k]), taken[k + 1]);
  if (version_ == 5) {
    L.blockEntryMapHeader = out.pos();
    const uint64_t last = entryCount == 0 ? 0 : entryCount - 1;
    out.words({entryCount, 0, last, 0, entryCount + last});
    for (uint64_t e = 0; e < entryCount; ++e)
      out.words({e == 0 ? entryCount : e - 1, e + 1 == entryCount ? entryCount : e + 1});
  }

  // Directory: header, entries, names, three word tables, padding.
  uint64_t nameTableSize = 5;  // "root"
  for (uint32_t i = 1; i < itemCount; ++i) nameTableSize += items_[i].name.size() + 1;
  uint64_t hashSize = 1;
  while (hashSize < itemCount) hashSize *= 2;
  const uint64_t directorySize = 56 + 28ULL * itemCount + nameTableSize +
                                 4 * (hashSize + itemCount + fileCount) + directoryPadding_;
  L.directoryHeader = out.pos();
  out.words({4, cacheId_, 1, itemCount, fileCount, 0x8000, directorySize, nameTableSize, hashSize,
             fileCount, fileCount, 0, 0, itemCount + fileCount});
  L.directoryEntries = out.pos();
  uint64_t nameOffset = 5;
  for (uint32_t i = 0; i < itemCount; ++i) {
    const Item& it = items_[i];
    out.words({i == 0 ? 0 : nameOffset, std::min(sizes[i], kMaxWord), checksumIndex[i],
               it.file ? kFileItemFlags : 0, i == 0 ? kMaxWord : it.parent, it.nextSibling,
               it.firstChild});
    if (i != 0) nameOffset += it.name.size() + 1;
  }
  L.nameTable = out.pos();
  out.text("root");
  for (uint32_t i = 1; i < itemCount; ++i) out.text(items_[i].name);
  for (uint64_t h = 0; h < hashSize; ++h) out.u32(h < itemCount ? h : kMaxWord);
  for (uint32_t i = 0; i < itemCount; ++i) out.u32(i + 1 < itemCount ? i + 1 : kMaxWord);
  for (uint32_t i = 0; i < itemCount; ++i)
    if (items_[i].file) out.u32(i);
  out.fill(directoryPadding_, 0xDD);

  L.directoryMapHeader = out.pos();
  out.words({1, 0});
  L.directoryMap = out.pos();
  for (uint32_t i = 0; i < itemCount; ++i) {
    uint64_t first = entryCount;
    for (size_t c : byItem[i])
      if (!chains_[c].hidden) {
        first = slotOf[c];
        break;
      }
    out.u32(first);
  }

  // Checksums: a map header, an entry per file with bytes, and a word per
  // 32 KiB of each.
  L.checksumHeader = out.pos();
  out.words({1, 16 + 8ULL * checksumMap.size() + 4 * checksumCount});
  L.checksumBody = out.pos();
  out.words({1, 1, checksumMap.size(), checksumCount});
  for (const auto& [count, first] : checksumMap) out.words({count, first});
  for (uint64_t c = 0; c < checksumCount; ++c)
    out.u32(static_cast<uint32_t>(0x9E3779B9u * (c + 1)));

  L.dataBlockHeader = out.pos();
  const uint64_t firstBlock = out.pos() + 24 + dataPadding_;
  out.words({version_, blockTotal, bs, firstBlock, taken.size(),
             (blockTotal + bs + firstBlock + taken.size()) & kMaxWord});
  out.fill(dataPadding_, 0xEE);
  L.firstDataBlock = firstBlock;
  L.dataBlockSize = blockSize_;
  L.dataBlockCount = static_cast<uint32_t>(blockTotal);
  L.blockEntryCount = static_cast<uint32_t>(entryCount);
  L.itemCount = itemCount;
  image.size_ = image.cut_ = firstBlock + blockTotal * bs;
  out.put32(28, static_cast<uint32_t>(image.size_ & kMaxWord));
  image.head_ = std::move(out.bytes);

  for (size_t c = 0; c < chains_.size(); ++c) {
    const Chain& ch = chains_[c];
    for (size_t k = chainStart[c]; k < chainStart[c + 1]; ++k) {
      const uint64_t from = (k - chainStart[c]) * bs;
      const uint64_t length = from < ch.bytes->size() ? std::min(bs, ch.bytes->size() - from) : 0;
      image.blocks_.push_back(
          {taken[k], length ? ch.bytes : nullptr, from, static_cast<uint32_t>(length)});
    }
  }
  std::sort(image.blocks_.begin(), image.blocks_.end(),
            [](const auto& a, const auto& b) { return a.index < b.index; });
  for (uint32_t i = 0; i < itemCount; ++i) {
    if (!items_[i].file) continue;
    CacheImage::File& f = image.files_[i];
    for (size_t c : byItem[i]) {
      if (chains_[c].hidden) continue;
      f.runs.emplace_back(chains_[c].offset, chains_[c].bytes);
      f.entries.push_back(static_cast<uint32_t>(slotOf[c]));
    }
  }
  return image;
}

// ---------------------------------------------------------------- image

void CacheImage::read(uint64_t offset, std::byte* out, uint64_t count) const {
  std::fill(out, out + count, std::byte{0});
  const uint64_t end = offset + count, built = std::min(end, cut_);
  if (offset < std::min<uint64_t>(built, head_.size()))
    std::copy(head_.begin() + static_cast<std::ptrdiff_t>(offset),
              head_.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(built, head_.size())),
              out);
  const uint64_t bs = layout_.dataBlockSize;
  if (built > layout_.firstDataBlock && bs > 0) {
    const uint64_t firstIndex =
        offset > layout_.firstDataBlock ? (offset - layout_.firstDataBlock) / bs : 0;
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), firstIndex,
                               [](const Block& b, uint64_t i) { return b.index < i; });
    for (; it != blocks_.end() && layout_.dataBlock(it->index) < built; ++it) {
      const uint64_t start = layout_.dataBlock(it->index);
      const uint64_t lo = std::max(offset, start), hi = std::min(built, start + bs);
      const uint64_t dataEnd = std::min(hi, start + it->length);
      if (lo < dataEnd)
        std::memcpy(out + (lo - offset), it->source->data() + it->from + (lo - start),
                    dataEnd - lo);
      for (uint64_t p = std::max(lo, dataEnd); p < hi; ++p)
        out[p - offset] = junk(it->index, p - start);
    }
  }
  for (auto it = patches_.lower_bound(offset); it != patches_.end() && it->first < end; ++it)
    out[it->first - offset] = it->second;
}

std::vector<std::byte> CacheImage::bytes() const {
  std::vector<std::byte> all(size_);
  read(0, all.data(), size_);
  return all;
}

std::string CacheImage::expectedContent(uint32_t item) const {
  const File& f = files_.at(item);
  uint64_t size = 0;
  for (const auto& [offset, bytes] : f.runs)
    if (!bytes->empty())
      size = std::max(size, offset + bytes->size());  // an empty run writes nothing
  std::string content(size, '\0');
  for (const auto& [offset, bytes] : f.runs) content.replace(offset, bytes->size(), *bytes);
  return content;
}

std::vector<uint32_t> CacheImage::blockEntriesOf(uint32_t item) const {
  const auto it = files_.find(item);
  return it == files_.end() ? std::vector<uint32_t>{} : it->second.entries;
}

std::vector<uint32_t> CacheImage::chainOf(uint32_t entry) const {
  std::vector<uint32_t> blocks;
  for (uint32_t b = get32(layout_.blockEntry(entry, fields::kFirstDataBlock)); b != kEndOfChain;
       b = get32(layout_.fragment(b)))
    blocks.push_back(b);
  return blocks;
}

uint32_t CacheImage::get32(uint64_t offset) const {
  if (offset > size_ || size_ - offset < 4)
    throw std::out_of_range("get32 past the end of the image");
  std::byte b[4];
  read(offset, b, 4);
  return std::to_integer<uint32_t>(b[0]) | std::to_integer<uint32_t>(b[1]) << 8 |
         std::to_integer<uint32_t>(b[2]) << 16 | std::to_integer<uint32_t>(b[3]) << 24;
}

void CacheImage::set32(uint64_t offset, uint32_t value) {
  if (offset > size_ || size_ - offset < 4)
    throw std::out_of_range("set32 past the end of the image");
  for (uint64_t i = 0; i < 4; ++i) {
    const auto b = std::byte((value >> (8 * i)) & 0xFF);
    if (offset + i < std::min<uint64_t>(head_.size(), cut_))
      head_[offset + i] = b;
    else
      patches_[offset + i] = b;
  }
}

void CacheImage::truncate(uint64_t newSize) {
  cut_ = std::min(cut_, newSize);
  patches_.erase(patches_.lower_bound(newSize), patches_.end());
  size_ = newSize;
}

bool CacheImage::writeFile(const std::string& path) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::vector<std::byte> buffer;
  auto emit = [&](uint64_t from, uint64_t to) {
    for (to = std::min(to, size_); from < to && file;) {
      const uint64_t n = std::min<uint64_t>(to - from, 1 << 20);
      buffer.resize(n);
      read(from, buffer.data(), n);
      file.seekp(static_cast<std::streamoff>(from));
      file.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
      from += n;
    }
  };
  emit(0, head_.size());
  // Used blocks, in runs of consecutive indices; unused ones stay holes.
  for (size_t i = 0; i < blocks_.size();) {
    size_t j = i + 1;
    while (j < blocks_.size() && blocks_[j].index == blocks_[j - 1].index + 1) ++j;
    emit(layout_.dataBlock(blocks_[i].index),
         layout_.dataBlock(blocks_[j - 1].index) + layout_.dataBlockSize);
    i = j;
  }
  for (const auto& patch : patches_) emit(patch.first, patch.first + 1);
  file.close();
  if (!file) return false;
  std::error_code error;
  std::filesystem::resize_file(path, size_, error);
  return !error;
}

std::string sampleBytes(size_t count, uint32_t seed) {
  std::string bytes(count, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace vaultcat::testsupport
