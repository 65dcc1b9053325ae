// Opening a cache: what is refused and why, and the accessors that stand between the rest of the
// reader and the bytes.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

CacheImage smallCache(uint32_t version) {
  CacheBuilder builder(version);
  builder.blockSize(512).directoryPadding(8).dataPadding(20);
  const uint32_t docs = builder.addFolder(0, "docs");
  builder.addFile(docs, "guide.txt", std::string(700, 'g'));
  builder.addFile(0, "readme.txt", "hello");
  return builder.build();
}

// open(path) on the image written to a temporary file.
std::string openFileError(const CacheImage& image, CacheArchive& archive, const char* name) {
  const std::string path = ::testing::TempDir() + name;
  EXPECT_TRUE(image.writeFile(path));
  const bool opened = archive.open(path);
  std::remove(path.c_str());
  EXPECT_EQ(opened, archive.isOpen());
  return opened ? "opened" : archive.lastError();
}

TEST(CacheArchiveOpen, OnlyVersionsFiveAndSixAreRead) {
  for (uint32_t version : {4u, 7u, 0u, 0x106u}) {
    CacheArchive archive;
    EXPECT_EQ(openFileError(CacheBuilder(version).build(), archive, "version.gcf"),
              "Invalid GCF version number.")
        << version;
  }
  for (uint32_t version : {5u, 6u}) {
    CacheArchive archive;
    EXPECT_EQ(openFileError(smallCache(version), archive, "version.gcf"), "opened") << version;
    EXPECT_EQ(archive.fileHeader().formatVersion, version);
    // The block entry map of version 5 is passed over to find the names.
    EXPECT_EQ(archive.itemName(3), "readme.txt") << version;
  }
}

TEST(CacheArchiveOpen, DataRegionMayEndAtTheEndOfTheFileButNotPastIt) {
  const CacheImage good = smallCache(6);
  const CacheLayout& l = good.layout();
  ASSERT_EQ(l.firstDataBlock + uint64_t{l.dataBlockCount} * l.dataBlockSize, good.size());
  CacheArchive archive;
  EXPECT_EQ(openFileError(good, archive, "extent.gcf"), "opened");

  const std::vector<std::pair<uint64_t, uint32_t>> damages[] = {
      // The region starts one byte later, so ends one past the file.
      {{l.field(kFirstBlockOffset), static_cast<uint32_t>(l.firstDataBlock + 1)}},
      {{l.field(kDataBlockCount), l.dataBlockCount + 1}},  // one block more than the file holds
      // 0x10000 blocks of 0x10000 bytes: the product is 2^32, which a 32-bit
      // multiplication would wrap to an empty region that fits any file.
      {{l.field(kDataBlockCount), 0x10000}, {l.field(kDataBlockSize), 0x10000}},
  };
  for (const auto& edits : damages) {
    CacheImage image = good;
    for (const auto& [at, value] : edits) image.set32(at, value);
    EXPECT_EQ(openFileError(image, archive, "extent.gcf"), "Corrupt file.") << edits[0].first;
  }
}

TEST(CacheArchiveOpen, AFailedOpenLeavesTheArchiveClosedWithItsCause) {
  CacheArchive archive;
  EXPECT_STREQ(archive.lastError(), "");
  EXPECT_FALSE(archive.openBytes(ByteView()));  // missing and empty files: the e2e tests
  EXPECT_STREQ(archive.lastError(), "Failed to map GCF file to memory.");
  EXPECT_EQ(openFileError(smallCache(5), archive, "reopen.gcf"), "opened");

  // A failing open closes whatever was open before it.
  EXPECT_EQ(openFileError(CacheBuilder(4).build(), archive, "reopen.gcf"),
            "Invalid GCF version number.");
  EXPECT_FALSE(archive.isOpen());
  EXPECT_FALSE(archive.directoryEntry(0).has_value());
  EXPECT_FALSE(archive.blockEntry(0).has_value());
  archive.close();
  EXPECT_STREQ(archive.lastError(), "Invalid GCF version number.");
}

TEST(CacheArchiveAccess, TheRootIsAlwaysNamedRootAndBlocksStayInTheFile) {
  CacheImage image = smallCache(6);
  const CacheLayout& l = image.layout();
  // The root is "root" whatever the name table and its entry say.
  image.set32(l.nameTable, 0x58585858);
  image.set32(l.directoryEntry(0, kNameOffset), 0xFFFFFFFF);
  LoadedCache cache(image);
  ASSERT_TRUE(cache.opened);
  const CacheArchive& a = cache.archive;
  EXPECT_EQ(a.itemName(0), "root");
  EXPECT_EQ(a.itemName(1), "docs");
  EXPECT_EQ(a.itemName(3), "readme.txt");
  EXPECT_FALSE(a.itemName(l.itemCount).has_value());

  // The last data block may be read whole, not a byte more.
  const uint32_t last = l.dataBlockCount - 1;
  EXPECT_TRUE(a.dataBlock(last, l.dataBlockSize).has_value());
  EXPECT_FALSE(a.dataBlock(last, l.dataBlockSize + 1).has_value());
  EXPECT_FALSE(a.dataBlock(l.dataBlockCount, 1).has_value());
}

}  // namespace
}  // namespace vaultcat::unittest
