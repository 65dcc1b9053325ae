// Helpers the reader and front-end tests share: a cache opened from an
// exact-size heap copy (so the sanitizer build catches any read past its
// end), an in-memory DataSink, and running the list command on a cache file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "archive/cache_archive.h"
#include "archive/data_sink.h"
#include "archive/extraction_writer.h"
#include "archive/item_lookup.h"
#include "archive/status.h"
#include "front_end/commands.h"
#include "front_end/output_sink.h"
#include "support/cache_writer.h"
#include "support/string_output.h"

namespace vaultcat::unittest {

using testsupport::CacheBuilder;
using testsupport::CacheImage;
using testsupport::CacheLayout;
using testsupport::RunList;
using namespace testsupport::fields;

// A cache held in memory and opened with openBytes. The archive reads the
// vector in place, so the vector must never be resized while it is open.
struct LoadedCache {
  explicit LoadedCache(std::vector<std::byte> image) : bytes(std::move(image)) {
    opened = archive.openBytes(ByteView(bytes.data(), bytes.size()));
  }
  explicit LoadedCache(const CacheImage& image) : LoadedCache(image.bytes()) {}

  std::vector<std::byte> bytes;
  CacheArchive archive;
  bool opened = false;
};

// Records every write as (offset, bytes), so tests can check where the
// writer put things without a file, even at offsets past 2 GiB.
class MemorySink final : public DataSink {
 public:
  struct Write {
    uint64_t offset;
    std::string bytes;
    bool operator==(const Write&) const = default;
  };

  explicit MemorySink(const CacheArchive& archive) : archive_(archive) {}

  Status writeAt(uint64_t offset, std::span<const platform::Piece> pieces) override {
    if (failing) return {Status::Kind::kOutputFailed, {}};
    Write write{offset, {}};
    for (const platform::Piece& piece : pieces) {
      const std::optional<ByteView> bytes = archive_.bytesOf(piece);
      EXPECT_TRUE(bytes.has_value()) << "a piece leaves the cache";
      if (bytes) write.bytes.append(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    }
    writes.push_back(std::move(write));
    return {};
  }

  // The bytes as a file would hold them: later writes over earlier ones,
  // gaps below the highest byte written as zeros.
  std::string content() const {
    std::string out;
    for (const Write& w : writes) {
      if (out.size() < w.offset + w.bytes.size()) out.resize(w.offset + w.bytes.size(), '\0');
      out.replace(w.offset, w.bytes.size(), w.bytes);
    }
    return out;
  }

  std::vector<Write> writes;
  bool failing = false;

 private:
  const CacheArchive& archive_;
};

struct Extraction {
  Status result;
  std::string progress;
  MemorySink sink;
};

inline Extraction extract(const CacheArchive& archive, uint32_t firstEntry,
                          bool failingSink = false) {
  Extraction e{{}, {}, MemorySink(archive)};
  e.sink.failing = failingSink;
  testsupport::StringOutput progress;
  BlockLines lines(e.sink, progress);
  e.result = writeFileData(archive, lines, firstEntry);
  e.progress = progress.text();
  return e;
}

// Writes the image to a temporary file, runs `l` on it in-process and
// removes the file again.
struct ListRun {
  int status;
  std::string text;
  std::string path;
};

inline ListRun listCache(const CacheImage& image, const std::string& name) {
  ListRun run{-1, {}, ::testing::TempDir() + name};
  EXPECT_TRUE(image.writeFile(run.path));
  testsupport::StringOutput out;
  const std::vector<std::string_view> args{"l", run.path};
  run.status = runCommandLine(args, out);
  run.text = out.text();
  std::remove(run.path.c_str());
  return run;
}

}  // namespace vaultcat::unittest
