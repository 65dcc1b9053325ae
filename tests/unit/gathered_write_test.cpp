// Pieces that the output moves three ways: long runs of a mapped cache are
// copied inside the kernel, shorter ones are read from the cache's file into
// a staging buffer of bounded size, and pieces of ordinary memory are copied
// into it. Pieces end mid-way through a buffer and are resumed in the next.
// Whatever the split, the bytes must arrive whole and in order.
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

  // Pieces of every kind at once: longer than a staging buffer, ending off
  // a page boundary; tiny; just under, at and over the length that is
  // copied inside the kernel; and a run of single 8 KiB blocks taken in
  // falling order, as a fragmented file gives them.
  static std::vector<Span> mixedSpans() {
    std::vector<Span> spans{
        {0, (5 << 20) + 123}, {(5 << 20) + 500, 3}, {(6 << 20) + 77, 200 << 10}};
    for (uint64_t block = 40; block-- > 0;) spans.push_back({(7 << 20) + block * 8192, 8192});
    spans.push_back({(8 << 20) + 1, (256 << 10) - 1});
    spans.push_back({(8 << 20) + (300 << 10), 256 << 10});
    spans.push_back({(8 << 20) + (600 << 10), (256 << 10) + 1});
    return spans;
  }

  // Writes the spans of `bytes` as one gathered write at `offset` and
  // returns what the file then holds.
  std::string writeAndRead(ByteView bytes, const std::vector<Span>& spans, uint64_t offset,
                           const MappedFile* source = nullptr) {
    std::vector<ByteView> pieces;
    for (const Span& s : spans) pieces.push_back(*bytes.subView(s.from, s.length));
    const fs::path target = dir_ / "out.bin";
    OutputFile out;
    EXPECT_TRUE(out.create(target.string(), source));
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

// From a mapping at 0, the first piece lies in the output as in the cache,
// within pages alike: the kernel copies it. At 7, ordinary memory.
TEST_F(GatheredWriteTest, PiecesArriveWholeHoweverTheCallsSplitThem) {
  const fs::path cache = dir_ / "source.bin";
  std::ofstream(cache, std::ios::binary) << source_;
  MappedFile mapping;
  ASSERT_TRUE(mapping.map(cache.string()));
  const ByteView memory(reinterpret_cast<const std::byte*>(source_.data()), source_.size());
  const std::vector<Span> spans = mixedSpans();
  for (const bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "in memory");
    const uint64_t offset = mapped ? 0 : 7;
    const std::string written =
        writeAndRead(mapped ? mapping.bytes() : memory, spans, offset, mapped ? &mapping : nullptr);
    ASSERT_EQ(written.size(), expected(spans, offset).size());
    EXPECT_TRUE(written == expected(spans, offset)) << "the output differs from the pieces";
  }
}

}  // namespace
}  // namespace vaultcat::platform
