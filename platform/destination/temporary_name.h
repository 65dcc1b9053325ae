// Hidden names for the temporary files and folders that outputs are written
// in before they take their place, and their shape, which tells this
// program's own names from others. Nothing outside platform/ includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// A new hidden name beside `target` (a name, no folder; may be empty),
// unlikely to be anybody else's: a dot, the target's name cut short enough
// that the whole stays a name the system takes (and a dot after it), the
// word kTemporaryWord and a tag of the process, the time and a count
// (uniqueTag()) in kTagLength of the letters kTagLetters.
std::string temporaryName(std::string_view target);

inline constexpr std::string_view kTemporaryWord = "vaultcat-";
inline constexpr std::string_view kTagLetters = "abcdefghijklmnopqrstuvwxyz234567";
inline constexpr size_t kTagLength = 8;

// Whether `name` has the shape temporaryName() gives, with the target's
// part in `target` ("" for the name of a staging folder). With
// `anyCase`, letters of A to Z count in either case, as where the system
// takes them as one.
bool isTemporaryName(std::string_view name, std::string_view& target, bool anyCase = false);

// The system's part: a number that differs for every call of every process.
uint64_t uniqueTag();
// How much of the target's name a temporary name keeps.
extern const size_t kLongestTargetInTemporaryName;

}  // namespace vaultcat::platform
