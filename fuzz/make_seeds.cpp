// make_seeds: writes the fuzzers' starting corpus, one small sound cache
// per shape the reader must handle, into the folder given.
//
//   make_seeds OUTPUT_DIR
//
// Every seed is also replayed by CTest, which expects it to list and
// extract cleanly; the names written here are the ones fuzz/CMakeLists.txt
// registers.
#include <cstdio>
#include <string>

#include "support/cache_writer.h"

using vaultcat::testsupport::CacheBuilder;
using vaultcat::testsupport::Run;
using vaultcat::testsupport::RunList;

namespace {

std::string text(size_t length, char first) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>(first + static_cast<char>(i % 23));
  return s;
}

// A small tree shared by several seeds: two folders, files across blocks.
void smallTree(CacheBuilder& b) {
  uint32_t cfg = b.addFolder(0, "cfg");
  b.addFile(cfg, "server.cfg", text(150, 'a'));
  b.addFile(cfg, "Autoexec.CFG", text(40, 'k'));
  uint32_t maps = b.addFolder(0, "maps");
  b.addFile(maps, "c1a0.bsp", text(300, 'A'));
  b.addFile(0, "readme.txt", text(64, '0'));
}

void plain(CacheBuilder& b) { smallTree(b.cacheId(1).blockSize(64)); }

void fragmented(CacheBuilder& b) {
  smallTree(b.cacheId(51).blockSize(64).shuffleDataBlocks(11).shuffleBlockEntries(5));
}

// Runs out of order, with a hole between them and chains longer than
// their bytes.
void multiRun(CacheBuilder& b) {
  b.cacheId(7).blockSize(128).shuffleDataBlocks(3);
  uint32_t dir = b.addFolder(0, "sound");
  b.addFile(
      dir, "pieces.wav",
      RunList{Run{300, text(200, 'p'), 1}, Run{0, text(100, 'q'), 0}, Run{700, text(60, 'r'), 2}});
  b.addFile(dir, "one.wav", RunList{Run{0, text(129, 's'), 0}});
  b.addFile(0, "gap.dat", RunList{Run{64, text(10, 't'), 0}});
}

void hiddenEntries(CacheBuilder& b) {
  b.cacheId(3).blockSize(64);
  uint32_t file = b.addFile(0, "hidden.txt", text(90, 'h'));
  b.addHiddenEntry(file, text(70, 'x'));
  uint32_t other = b.addFile(0, "plain.txt", text(20, 'y'));
  b.addHiddenEntry(other, text(5, 'z'));
}

void emptyThings(CacheBuilder& b) {
  b.cacheId(92).blockSize(64);
  b.addFolder(0, "empty");
  uint32_t nested = b.addFolder(b.addFolder(0, "outer"), "inner");
  b.addFolder(nested, "leaf");
  b.addFile(0, "zero.bin", std::string());
  b.addFile(nested, "noruns.bin", RunList{});
  b.addFile(0, "one.bin", "1");
}

void deepTree(CacheBuilder& b) {
  b.cacheId(2).blockSize(64);
  uint32_t folder = 0;
  for (int level = 0; level < 40; ++level) {
    folder = b.addFolder(folder, "d" + std::to_string(level));
    if (level % 8 == 0) b.addFile(folder, "f" + std::to_string(level), text(30, 'd'));
  }
  b.addFile(folder, "bottom.txt", text(70, 'b'));
}

void wideFolder(CacheBuilder& b) {
  b.cacheId(31).blockSize(64).shuffleBlockEntries(9);
  uint32_t folder = b.addFolder(0, "models");
  for (int i = 0; i < 30; ++i)
    b.addFile(folder, "m" + std::to_string(i) + ".mdl", text(10 + 3 * static_cast<size_t>(i), 'm'));
}

// Unused blocks before, between and after the chains, a gap before block 0
// and extra bytes at the end of the directory.
void padded(CacheBuilder& b) {
  b.cacheId(5).blockSize(256).directoryPadding(12).dataPadding(20).reserveDataBlocks(2);
  b.addFile(0, "first.txt", text(300, 'f'));
  b.reserveDataBlocks(1);
  b.addFile(0, "second.txt", text(40, 's'));
  b.spareDataBlocks(2);
}

void bigBlocks(CacheBuilder& b) {
  b.cacheId(12345).blockSize(512).shuffleDataBlocks(1);
  b.addFile(b.addFolder(0, "cfg"), "big.cfg", text(1500, 'B'));
  b.addFile(0, "small.cfg", text(3, 'S'));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
    return 2;
  }
  const struct {
    const char* name;
    uint32_t version;
    void (*fill)(CacheBuilder&);
  } seeds[] = {
      {"v5-plain", 5, plain},
      {"v6-plain", 6, plain},
      {"v5-fragmented", 5, fragmented},
      {"v6-fragmented", 6, fragmented},
      {"v5-multi-run", 5, multiRun},
      {"v6-multi-run", 6, multiRun},
      {"hidden-entries", 6, hiddenEntries},
      {"empty-folders-zero-files", 5, emptyThings},
      {"deep-tree", 6, deepTree},
      {"wide-folder", 6, wideFolder},
      {"v5-padded", 5, padded},
      {"v6-padded", 6, padded},
      {"big-blocks", 5, bigBlocks},
  };
  for (const auto& seed : seeds) {
    const std::string path = std::string(argv[1]) + "/" + seed.name + ".gcf";
    CacheBuilder builder(seed.version);
    seed.fill(builder);
    if (!builder.build().writeFile(path)) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
