// Temporary names on POSIX systems: the process ID and the clock.
#include <limits.h>
#include <time.h>
#include <unistd.h>

#include "platform/destination/temporary_name.h"

namespace vaultcat::platform {

// A name holds NAME_MAX bytes; the rest of a temporary name takes 19.
const size_t kLongestTargetInTemporaryName = NAME_MAX - 20;

uint64_t uniqueTag() {
  static uint64_t count = 0;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(::getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
         (static_cast<uint64_t>(now.tv_sec) << 20) ^ (++count * 0x9E3779B97F4A7C15u);
}

}  // namespace vaultcat::platform
