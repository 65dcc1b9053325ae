// The cache as a mounted tree, asked in-process as the system asks it,
// without a mount: the names each folder shows, their attributes, a
// folder listed a page at a time, and reads of a file at any offset.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "front_end/mounted_cache.h"
#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

using testsupport::sampleBytes;
using Answer = platform::Answer;
using Entry = platform::MountedTree::Entry;

// A tree with every kind of name and file the mount treats apart. Items
// are numbered as added; a node is its item plus one.
struct MountFixture {
  MountFixture() {
    CacheBuilder b;
    b.blockSize(512).shuffleDataBlocks(3);
    docs = b.addFolder(0, "docs");
    whole = b.addFile(docs, "a.txt", sampleBytes(1500, 1));
    dup = b.addFile(docs, "dup", sampleBytes(10, 2));
    b.addFile(docs, "dup", sampleBytes(10, 3));  // the same name again: not shown
    b.addFile(docs, "..", sampleBytes(10, 4));   // not a name that can be written
    holes =
        b.addFile(docs, "holes", RunList{{0, sampleBytes(700, 5)}, {1400, sampleBytes(300, 6)}});
    broken = b.addFile(docs, "broken", sampleBytes(900, 7));
    sub = b.addFolder(0, "sub");  // more children than are searched in order
    for (uint32_t i = 0; i < 20; ++i)
      b.addFile(sub, "f" + std::to_string(i), sampleBytes(3, 8 + i));
    b.addFile(sub, "f3", sampleBytes(3, 30));  // not shown, nor found by the folder's index
    loop = b.addFolder(0, "loop");
    p = b.addFile(loop, "p", sampleBytes(1, 31));
    q = b.addFile(loop, "q", sampleBytes(1, 32));
    b.addFile(loop, "r", sampleBytes(1, 33));
    empty = b.addFile(0, "empty", "");
    image = b.build();
    const CacheLayout& l = image.layout();
    image.set32(l.blockEntry(image.blockEntriesOf(broken).at(0), kFirstDataBlock),
                l.dataBlockCount + 3);
    image.set32(l.directoryEntry(q, kNextSibling), p);      // loop's list goes back to p after q
    image.set32(l.directoryEntry(docs, kItemSize), 12345);  // no size of a folder's own
  }
  uint32_t docs, whole, dup, holes, broken, sub, loop, p, q, empty;
  CacheImage image;
};

uint64_t nodeOf(uint32_t item) { return uint64_t{item} + 1; }

// An entry as the tests spell it: its name, '/' for a folder, its node.
std::string shown(std::string_view name, uint32_t item, bool folder = false) {
  return std::string(name) + (folder ? "/#" : "#") + std::to_string(nodeOf(item)) + " ";
}

// Lists `folder` `page` entries at a time, as the system reads a folder,
// each call from the cursor after the last entry taken.
std::string listed(MountedCache& tree, uint64_t folder, size_t page, Answer& answer) {
  std::string text;
  uint64_t cursor = 0;
  for (int call = 0; call < 100; ++call) {
    size_t taken = 0;
    answer = tree.readFolder(folder, cursor, [&](const Entry& entry) {
      if (taken == page) return false;
      ++taken;
      text += shown(entry.name, static_cast<uint32_t>(entry.attributes.node - 1),
                    entry.attributes.folder);
      cursor = entry.next;
      return true;
    });
    if (answer != Answer::kOk || taken < page) return text;
  }
  return text + "(never ends)";
}

TEST(MountedCache, ShowsWhatTheTreeCommandWritesAndReadsWhatTheMapHolds) {
  const MountFixture f;
  LoadedCache cache(f.image);
  ASSERT_TRUE(cache.opened);
  testsupport::StringOutput out;
  MountedCache tree(cache.archive, out, false);
  const uint64_t outside = nodeOf(f.image.layout().itemCount);

  // Each folder's entries, however many the system takes at a call.
  std::string subNames;
  for (uint32_t i = 0; i < 20; ++i) subNames += shown("f" + std::to_string(i), f.sub + 1 + i);
  struct Listing {
    uint64_t folder;
    Answer answer;
    std::string names;
  };
  const Listing listings[] = {
      {platform::kRootNode, Answer::kOk,
       shown("docs", f.docs, true) + shown("sub", f.sub, true) + shown("loop", f.loop, true) +
           shown("empty", f.empty)},
      {nodeOf(f.docs), Answer::kOk,
       shown("a.txt", f.whole) + shown("dup", f.dup) + shown("holes", f.holes) +
           shown("broken", f.broken)},
      {nodeOf(f.sub), Answer::kOk, subNames},
      // What the list gives before its break, then the break.
      {nodeOf(f.loop), Answer::kUnreadable, shown("p", f.p) + shown("q", f.q)},
      {nodeOf(f.whole), Answer::kMissing, ""},
      {0, Answer::kMissing, ""},
      {outside, Answer::kMissing, ""},
  };
  for (const Listing& c : listings) {
    for (const size_t page : {size_t{1}, size_t{2}, size_t{3}, size_t{1000}}) {
      SCOPED_TRACE("folder " + std::to_string(c.folder) + ", " + std::to_string(page) + " a page");
      Answer answer = Answer::kOk;
      EXPECT_EQ(listed(tree, c.folder, page, answer), c.names);
      EXPECT_EQ(answer, c.answer);
    }
  }
  // Cursors the folder never gave: past the directory, and into the loop.
  for (const uint64_t cursor : {uint64_t{1} << 40, nodeOf(f.p)}) {
    EXPECT_EQ(tree.readFolder(platform::kRootNode, cursor, [](const Entry&) { return true; }),
              Answer::kUnreadable);
  }

  // Names looked up as they are shown, with their attributes.
  struct Lookup {
    uint64_t folder;
    const char* name;
    Answer answer;
    uint32_t item = 0;  // found
    uint64_t size = 0;
  };
  const Lookup lookups[] = {
      {platform::kRootNode, "docs", Answer::kOk, f.docs},
      {nodeOf(f.docs), "a.txt", Answer::kOk, f.whole, 1500},
      {nodeOf(f.docs), "A.TXT", Answer::kMissing},
      {nodeOf(f.docs), "dup", Answer::kOk, f.dup, 10},  // the first of the name
      {nodeOf(f.docs), "..", Answer::kMissing},
      {nodeOf(f.docs), "holes", Answer::kOk, f.holes, 1700},
      {nodeOf(f.sub), "f3", Answer::kOk, f.sub + 4, 3},  // through the folder's index
      {nodeOf(f.sub), "f19", Answer::kOk, f.sub + 20, 3},
      {nodeOf(f.sub), "f20", Answer::kMissing},
      {nodeOf(f.loop), "q", Answer::kOk, f.q, 1},
      {nodeOf(f.loop), "r", Answer::kUnreadable},  // it may lie past the break
      {nodeOf(f.whole), "a.txt", Answer::kMissing},
      {0, "docs", Answer::kMissing},
  };
  for (const Lookup& c : lookups) {
    SCOPED_TRACE(std::to_string(c.folder) + "/" + c.name);
    platform::NodeAttributes found;
    ASSERT_EQ(tree.lookup(c.folder, c.name, found), c.answer);
    if (c.answer != Answer::kOk) continue;
    platform::NodeAttributes again;
    ASSERT_EQ(tree.attributes(found.node, again), Answer::kOk);
    for (const platform::NodeAttributes& a : {found, again}) {
      EXPECT_EQ(a.node, nodeOf(c.item));
      EXPECT_EQ(a.folder, c.item == f.docs);
      EXPECT_EQ(a.size, c.size);
    }
  }
  platform::NodeAttributes none;
  EXPECT_EQ(tree.attributes(0, none), Answer::kMissing);
  EXPECT_EQ(tree.attributes(outside, none), Answer::kMissing);

  // Each read as the map gives it, against the bytes the cache was made
  // with: a whole file at any offset, an incomplete one up to the part it
  // lacks, a damaged one not at all.
  struct Read {
    uint32_t item;
    uint64_t offset, length;
    Answer answer;
    uint64_t read;  // bytes given, from `offset`
  };
  const Read reads[] = {
      {f.whole, 0, 1500, Answer::kOk, 1500},      {f.whole, 511, 2, Answer::kOk, 2},
      {f.whole, 1023, 700, Answer::kOk, 477},     {f.whole, 1500, 10, Answer::kOk, 0},
      {f.whole, 4000, 10, Answer::kOk, 0},        {f.whole, 7, 0, Answer::kOk, 0},
      {f.holes, 0, 700, Answer::kOk, 700},        {f.holes, 650, 100, Answer::kUnreadable, 50},
      {f.holes, 1399, 2, Answer::kUnreadable, 0}, {f.holes, 1401, 1000, Answer::kOk, 299},
      {f.broken, 0, 1, Answer::kUnreadable, 0},   {f.broken, 600, 300, Answer::kUnreadable, 0},
      {f.empty, 0, 10, Answer::kOk, 0},
  };
  for (const Read& c : reads) {
    SCOPED_TRACE(std::to_string(c.item) + " at " + std::to_string(c.offset) + ", " +
                 std::to_string(c.length));
    std::unique_ptr<platform::OpenFile> file;
    ASSERT_EQ(tree.open(nodeOf(c.item), file), Answer::kOk);
    EXPECT_EQ(file->whole(), c.item == f.whole || c.item == f.empty);
    std::vector<platform::Piece> pieces;
    EXPECT_EQ(file->pieces(c.offset, c.length, pieces), c.answer);
    std::string read;
    for (const platform::Piece& piece : pieces) {
      const std::optional<ByteView> bytes = cache.archive.bytesOf(piece);
      ASSERT_TRUE(bytes);
      read.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    }
    const std::string content = f.image.expectedContent(c.item);
    EXPECT_EQ(read, content.substr(std::min<uint64_t>(c.offset, content.size()), c.read));
  }
  std::unique_ptr<platform::OpenFile> file;
  EXPECT_EQ(tree.open(nodeOf(f.docs), file), Answer::kMissing);
  EXPECT_EQ(tree.open(0, file), Answer::kMissing);
}

}  // namespace
}  // namespace vaultcat::unittest
