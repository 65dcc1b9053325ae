// make_cache: builds a cache file from a directory tree on disk.
//
//   make_cache [--version 5|6] [--cache-id N] [--block-size N] [--shuffle SEED]
//              [--rename FROM TO]... [--size NAME BYTES]... SOURCE_DIR OUTPUT.gcf
//
// Each folder lists its children in byte order of their names, so the same
// tree always gives the same cache. --shuffle deals the data blocks and the
// block-entry table out in a random order drawn from SEED. --rename stores
// every item named FROM as TO: names no folder on disk can have, such as
// "." and "..". --size records every file named NAME as BYTES long,
// whatever it holds: longer is a file the cache holds part of, as a
// download that never finished, shorter a damaged one.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/cache_writer.h"

namespace fs = std::filesystem;
using vaultcat::testsupport::CacheBuilder;

namespace {

std::optional<uint32_t> parseNumber(const std::string& text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

std::map<std::string, std::string> renames;
std::map<std::string, uint32_t> sizes;                // by name
std::vector<std::pair<uint32_t, uint32_t>> recorded;  // an item, and the size it records

void addTree(CacheBuilder& builder, uint32_t folder, const fs::path& dir) {
  std::vector<fs::directory_entry> children(fs::directory_iterator(dir), fs::directory_iterator{});
  std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  for (const auto& child : children) {
    std::string name = child.path().filename().string();
    if (const auto renamed = renames.find(name); renamed != renames.end()) name = renamed->second;
    if (child.is_directory()) {
      addTree(builder, builder.addFolder(folder, name), child.path());
    } else if (child.is_regular_file()) {
      std::ifstream in(child.path(), std::ios::binary);
      std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      if (in.bad()) throw std::runtime_error("cannot read " + child.path().string());
      const uint32_t item = builder.addFile(folder, name, std::move(bytes));
      if (const auto size = sizes.find(name); size != sizes.end())
        recorded.emplace_back(item, size->second);
    } else {
      throw std::runtime_error("neither a file nor a folder: " + child.path().string());
    }
  }
}

int usage() {
  std::fputs(
      "usage: make_cache [--version 5|6] [--cache-id N] [--block-size N] [--shuffle SEED] "
      "[--rename FROM TO]... [--size NAME BYTES]... SOURCE_DIR OUTPUT.gcf\n",
      stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t version = 6, cacheId = 0, blockSize = 8192;
  std::optional<uint32_t> seed;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      paths.push_back(arg);
      continue;
    }
    if (arg == "--rename" && i + 2 < argc) {
      renames[argv[i + 1]] = argv[i + 2];
      i += 2;
      continue;
    }
    if (arg == "--size" && i + 2 < argc) {
      const std::optional<uint32_t> size = parseNumber(argv[i + 2]);
      if (!size) return usage();
      sizes[argv[i + 1]] = *size;
      i += 2;
      continue;
    }
    if (i + 1 == argc) return usage();
    const std::optional<uint32_t> value = parseNumber(argv[++i]);
    if (!value) {
      std::fprintf(stderr, "make_cache: %s needs a number, not '%s'\n", arg.c_str(), argv[i]);
      return 1;
    }
    if (arg == "--version")
      version = *value;
    else if (arg == "--cache-id")
      cacheId = *value;
    else if (arg == "--block-size")
      blockSize = *value;
    else if (arg == "--shuffle")
      seed = *value;
    else
      return usage();
    if ((version != 5 && version != 6) || blockSize == 0) {
      std::fprintf(stderr, "make_cache: the version must be 5 or 6 and the block size not 0\n");
      return 1;
    }
  }
  if (paths.size() != 2) return usage();

  try {
    if (!fs::is_directory(paths[0])) throw std::runtime_error("not a folder: " + paths[0]);
    CacheBuilder builder(version);
    builder.cacheId(cacheId).blockSize(blockSize);
    if (seed) builder.shuffleDataBlocks(*seed).shuffleBlockEntries(*seed);
    addTree(builder, 0, paths[0]);
    vaultcat::testsupport::CacheImage image = builder.build();
    for (const auto& [item, size] : recorded)
      image.set32(image.layout().directoryEntry(item, vaultcat::testsupport::fields::kItemSize),
                  size);
    if (!image.writeFile(paths[1])) throw std::runtime_error("cannot write " + paths[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_cache: %s\n", e.what());
    return 1;
  }
  return 0;
}
