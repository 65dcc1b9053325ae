// Gathered writes that the output splits into many system calls: a call
// carries a bounded number of bytes, so long pieces end mid-way through a
// call and are resumed by the next, and long pieces of a mapped file are
// mapped in ahead of the copy a window at a time. Whatever the split, the
// bytes must arrive whole and in order.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/mapped_file.h"
#include "archive/output_file.h"
#include "support/temp_folder.h"

namespace vaultcat::platform {
namespace {

namespace fs = std::filesystem;

struct Span {
  uint64_t from, length;
};

class GatheredWriteTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    source_.resize(9 << 20);
    std::mt19937 rng(7);
    std::generate(source_.begin(), source_.end(), [&] { return static_cast<char>(rng()); });
  }

  // Pieces of every kind at once: longer than a call and than a mapping
  // window, ending off a page boundary; tiny; just under, at and over the
  // size that is mapped in ahead; and a run of single 8 KiB blocks taken in
  // falling order, as a fragmented file gives them.
  static std::vector<Span> mixedSpans() {
    std::vector<Span> spans{
        {0, (5 << 20) + 123}, {(5 << 20) + 500, 3}, {(6 << 20) + 77, 200 << 10}};
    for (uint64_t block = 40; block-- > 0;) spans.push_back({(7 << 20) + block * 8192, 8192});
    spans.push_back({(8 << 20) + 1, (64 << 10) - 1});
    spans.push_back({(8 << 20) + (100 << 10), 64 << 10});
    spans.push_back({(8 << 20) + (200 << 10), (64 << 10) + 1});
    return spans;
  }

  // Writes the spans of `bytes` as one gathered write at `offset` and
  // returns what the file then holds.
  std::string writeAndRead(ByteView bytes, const std::vector<Span>& spans, uint64_t offset) {
    std::vector<ByteView> pieces;
    for (const Span& s : spans) pieces.push_back(*bytes.subView(s.from, s.length));
    const fs::path target = dir_ / "out.bin";
    OutputFile out;
    EXPECT_TRUE(out.create(target.string()));
    EXPECT_EQ(out.writeAt(offset, pieces).kind, Status::Kind::kOk);
    EXPECT_TRUE(out.commit());
    out.keep();
    return readText("out.bin");
  }

  std::string expected(const std::vector<Span>& spans, uint64_t offset) const {
    std::string all(offset, '\0');
    for (const Span& s : spans) all.append(source_, s.from, s.length);
    return all;
  }

  std::string source_;
};

TEST_F(GatheredWriteTest, PiecesOfAMappedFileArriveWholeHoweverTheCallsSplitThem) {
  const fs::path cache = dir_ / "source.bin";
  std::ofstream(cache, std::ios::binary) << source_;
  MappedFile mapping;
  ASSERT_TRUE(mapping.map(cache.string()));

  const std::vector<Span> spans = mixedSpans();
  const std::string written = writeAndRead(mapping.bytes(), spans, 7);
  ASSERT_EQ(written.size(), expected(spans, 7).size());
  EXPECT_TRUE(written == expected(spans, 7)) << "the output differs from the pieces";
}

TEST_F(GatheredWriteTest, PiecesInOrdinaryMemoryArriveWholeToo) {
  const ByteView memory(reinterpret_cast<const std::byte*>(source_.data()), source_.size());
  const std::vector<Span> spans = mixedSpans();
  const std::string written = writeAndRead(memory, spans, 0);
  ASSERT_EQ(written.size(), expected(spans, 0).size());
  EXPECT_TRUE(written == expected(spans, 0)) << "the output differs from the pieces";
}

}  // namespace
}  // namespace vaultcat::platform
