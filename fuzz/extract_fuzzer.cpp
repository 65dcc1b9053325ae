// libFuzzer target: what `vaultcat x` does, for every item of the tree.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vaultcat::fuzz::runExtractPath({data, size});
  return 0;
}
