// libFuzzer target: what `vaultcat l` does, on any bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vaultcat::fuzz::runListPath({data, size});
  return 0;
}
