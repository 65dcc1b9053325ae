// Names on POSIX systems: a name is its bytes.
#include "platform/destination/names.h"

namespace vaultcat::platform {

Spelling::Spelling(std::string_view stored) : stored_(stored) {}

std::string nameKey(std::string_view name) { return std::string(name); }

}  // namespace vaultcat::platform
