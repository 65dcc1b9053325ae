// Hidden names for the temporary files and folders that outputs are written
// in before they take their place. Nothing outside platform/ includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// A new hidden name beside `target` (a name, no folder; may be empty),
// unlikely to be anybody else's: a dot, the target's name cut short enough
// that the whole stays a name the system takes, and a tag of the process,
// the time and a count (uniqueTag()).
std::string temporaryName(std::string_view target);

// The system's part: a number that differs for every call of every process.
uint64_t uniqueTag();
// How much of the target's name a temporary name keeps.
extern const size_t kLongestTargetInTemporaryName;

}  // namespace vaultcat::platform
