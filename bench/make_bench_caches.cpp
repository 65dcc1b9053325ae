// make_bench_caches: writes the inputs of bench/run into one folder, all
// made by our own cache writer.
//
//   make_bench_caches [--data-mib N] [--folders N] [--files N] [--tree-files N]
//                     OUTPUT_DIR
//
//   contiguous.gcf  one file, big.bin, of N MiB (default 1024) whose data
//                   blocks follow each other in one chain
//   shuffled.gcf    the same file with its data blocks dealt out in a random
//                   order, so that nearly every block is a fragment of its own
//   shuffled.extents
//                   where big.bin's bytes lie in shuffled.gcf, for the floor
//                   program: one record per data block, in the file's order,
//                   of three little-endian 64-bit words (offset in the cache,
//                   length, offset in the file)
//   big.bin         the same bytes as a plain file, for the baseline copy
//   many.gcf        --folders folders (default 1000) of --files files each
//                   (default 999): folderNNNN/fileNNN.dat. Every file has a
//                   block entry; all are empty except the last file of the
//                   last folder, which holds the bytes of small.dat
//   small.dat       those bytes, as a plain file
//   names.txt       every item path of many.gcf in listing order, folders
//                   ending in '/', for building the archives the listing is
//                   compared with
//
// and only when --tree-files N is given (so that the outputs above are the
// same whether it is or not):
//
//   tree.gcf        N files of 1 MiB at its root, fileNNNN.bin, each in a
//                   chain of its own, for extracting a whole tree of data
//   tree/           the same files as plain files, for the peers' archive
//                   and for checking what an extraction made
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "support/cache_writer.h"

using vaultcat::testsupport::CacheBuilder;
using vaultcat::testsupport::CacheImage;
using vaultcat::testsupport::CacheLayout;

namespace {

constexpr uint32_t kCacheId = 1;
constexpr uint32_t kShuffleSeed = 20240531;

std::optional<uint32_t> parseNumber(const char* text) {
  const std::string s(text);
  uint32_t value = 0;
  const auto [stop, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || error != std::errc{} || stop != s.data() + s.size()) return std::nullopt;
  return value;
}

// Bytes that no compressor or page-sharing trick makes cheaper to copy.
std::string pseudoRandomBytes(uint64_t size) {
  std::string bytes(size, '\0');
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (uint64_t i = 0; i < size; i += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (uint64_t k = 0; k < 8 && i + k < size; ++k)
      bytes[i + k] = static_cast<char>((state >> (8 * k)) & 0xFF);
  }
  return bytes;
}

void writePlainFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeCache(const CacheImage& image, const std::string& path) {
  if (!image.writeFile(path)) throw std::runtime_error("cannot write " + path);
}

// Read from the writer's own record of where it put each block, so that the
// floor program copies the same bytes without reading the cache's tables.
void writeExtents(const CacheImage& image, uint32_t item, uint64_t size, const std::string& path) {
  const CacheLayout& layout = image.layout();
  std::string records;
  uint64_t at = 0;
  for (uint32_t entry : image.blockEntriesOf(item)) {
    for (uint32_t block : image.chainOf(entry)) {
      const uint64_t length = std::min<uint64_t>(layout.dataBlockSize, size - at);
      for (uint64_t word : {layout.dataBlock(block), length, at})
        for (int k = 0; k < 8; ++k) records += static_cast<char>((word >> (8 * k)) & 0xFF);
      at += length;
    }
  }
  if (at != size) throw std::runtime_error("the chains of " + path + " do not hold the file");
  writePlainFile(path, records);
}

void makeBigCaches(const std::string& dir, uint64_t dataMib) {
  const std::string bytes = pseudoRandomBytes(dataMib << 20);
  writePlainFile(dir + "/big.bin", bytes);
  for (bool shuffled : {false, true}) {
    CacheBuilder builder(6);
    builder.cacheId(kCacheId).blockSize(8192);
    if (shuffled) builder.shuffleDataBlocks(kShuffleSeed);
    const uint32_t item = builder.addFile(0, "big.bin", bytes);
    const CacheImage image = builder.build();
    writeCache(image, dir + (shuffled ? "/shuffled.gcf" : "/contiguous.gcf"));
    if (shuffled) writeExtents(image, item, bytes.size(), dir + "/shuffled.extents");
  }
}

std::string numbered(const char* prefix, uint32_t n, int width, const char* suffix) {
  std::string digits = std::to_string(n);
  if (digits.size() < static_cast<size_t>(width))
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
  return prefix + digits + suffix;
}

void makeManyItemCache(const std::string& dir, uint32_t folders, uint32_t files) {
  std::string small;
  for (int line = 0; small.size() < 3000; ++line)
    small += "line " + std::to_string(line) + " of the one file the benchmark extracts\n";
  writePlainFile(dir + "/small.dat", small);

  CacheBuilder builder(6);
  builder.cacheId(kCacheId).blockSize(8192);
  std::ofstream names(dir + "/names.txt", std::ios::trunc);
  for (uint32_t f = 0; f < folders; ++f) {
    const std::string folderName = numbered("folder", f, 4, "");
    const uint32_t folder = builder.addFolder(0, folderName);
    names << folderName << "/\n";
    for (uint32_t i = 0; i < files; ++i) {
      const std::string fileName = numbered("file", i, 3, ".dat");
      const bool last = f + 1 == folders && i + 1 == files;
      builder.addFile(folder, fileName, last ? small : std::string());
      names << folderName << '/' << fileName << '\n';
    }
  }
  names.close();
  if (!names) throw std::runtime_error("cannot write " + dir + "/names.txt");
  writeCache(builder.build(), dir + "/many.gcf");
}

void makeTreeCache(const std::string& dir, uint32_t files) {
  // One stream cut into files, so that no two files hold the same bytes and
  // a file extracted under another's name shows.
  const std::string bytes = pseudoRandomBytes(uint64_t{files} << 20);
  std::filesystem::create_directories(dir + "/tree");
  CacheBuilder builder(6);
  builder.cacheId(kCacheId).blockSize(8192);
  for (uint32_t i = 0; i < files; ++i) {
    const std::string name = numbered("file", i, 4, ".bin");
    std::string file = bytes.substr(uint64_t{i} << 20, 1 << 20);
    writePlainFile(dir + "/tree/" + name, file);
    builder.addFile(0, name, std::move(file));
  }
  writeCache(builder.build(), dir + "/tree.gcf");
}

int usage() {
  std::fputs(
      "usage: make_bench_caches [--data-mib N] [--folders N] [--files N] [--tree-files N] "
      "OUTPUT_DIR\n",
      stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t dataMib = 1024, folders = 1000, files = 999, treeFiles = 0;
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      if (!dir.empty()) return usage();
      dir = arg;
      continue;
    }
    if (i + 1 == argc) return usage();
    const std::optional<uint32_t> value = parseNumber(argv[++i]);
    if (!value || *value == 0) {
      std::fprintf(stderr, "make_bench_caches: %s needs a positive number\n", arg.c_str());
      return 1;
    }
    if (arg == "--data-mib")
      dataMib = *value;
    else if (arg == "--folders")
      folders = *value;
    else if (arg == "--files")
      files = *value;
    else if (arg == "--tree-files")
      treeFiles = *value;
    else
      return usage();
  }
  if (dir.empty()) return usage();
  // A run's size is a 32-bit field.
  if (dataMib >= 4096) {
    std::fputs("make_bench_caches: --data-mib must be below 4096\n", stderr);
    return 1;
  }
  try {
    makeBigCaches(dir, dataMib);
    makeManyItemCache(dir, folders, files);
    if (treeFiles != 0) makeTreeCache(dir, treeFiles);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_bench_caches: %s\n", e.what());
    return 1;
  }
  return 0;
}
