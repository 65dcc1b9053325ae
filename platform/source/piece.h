// A piece of the cache: where its bytes lie in the cache file, and how many
// there are. The reader hands out pieces; the output decides how their
// bytes move (source_file.h, piece_writer.h).
#pragma once

#include <cstdint>

namespace vaultcat::platform {

struct Piece {
  uint64_t offset = 0;  // from the start of the file
  uint64_t length = 0;

  bool operator==(const Piece&) const = default;
};

}  // namespace vaultcat::platform
