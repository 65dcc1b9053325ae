// What both systems share of output paths; output_path_posix.cpp and
// output_path_win32.cpp add each system's own rules for names.
#include "platform/destination/output_path.h"

#include "platform/destination/temporary_name.h"

namespace vaultcat::platform {

bool isSafeName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string_view::npos && systemAllowsName(name);
}

bool isOwnName(std::string_view name) {
  std::string_view target;
  return isTemporaryName(name, target, true);
}

std::optional<std::string> outputPathFor(std::string_view itemPath) {
  std::string path;
  while (true) {
    const size_t end = itemPath.find_first_of("/\\");
    const std::string_view part = itemPath.substr(0, end);
    if (!isSafeName(part)) return std::nullopt;
    path += part;
    if (end == std::string_view::npos) return path;
    path += '/';
    itemPath.remove_prefix(end + 1);
  }
}

}  // namespace vaultcat::platform
