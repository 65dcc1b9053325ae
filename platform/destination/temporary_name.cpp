// What both systems share of temporary names: their shape.
#include "platform/destination/temporary_name.h"

namespace vaultcat::platform {

std::string temporaryName(std::string_view target) {
  uint64_t tag = uniqueTag() * 0xBF58476D1CE4E5B9u;
  std::string name = "." + std::string(target.substr(0, kLongestTargetInTemporaryName));
  name += target.empty() ? "vaultcat-" : ".vaultcat-";
  for (int i = 0; i < 8; ++i, tag >>= 5)
    name.push_back("abcdefghijklmnopqrstuvwxyz234567"[tag & 31]);
  return name;
}

}  // namespace vaultcat::platform
