// Failures on POSIX systems: errno, and strerror(3)'s words for it.
#include <cerrno>
#include <cstring>

#include "platform/process/failure.h"

namespace vaultcat::platform {

Failure Failure::ofSystem() { return {Kind::kSystem, errno}; }

std::string systemErrorText(int code) { return std::strerror(code); }

}  // namespace vaultcat::platform
