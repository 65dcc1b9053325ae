// Temporary names on Windows: the process ID and the performance counter.
#include "platform/destination/temporary_name.h"
#include "platform/process/handle_win32.h"

namespace vaultcat::platform {

// A name holds 255 UTF-16 units: 200 bytes of UTF-8 take 200 at most, and
// the rest of a temporary name 19.
const size_t kLongestTargetInTemporaryName = 200;

uint64_t uniqueTag() {
  static uint64_t count = 0;
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return (uint64_t{::GetCurrentProcessId()} << 40) ^ static_cast<uint64_t>(now.QuadPart) ^
         (++count * 0x9E3779B97F4A7C15u);
}

}  // namespace vaultcat::platform
