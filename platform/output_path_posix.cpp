// Output names on POSIX systems: every byte but '/' and NUL may be in a
// name, so the shared rules are all there is.
#include "platform/output_path.h"

namespace vaultcat::platform {

bool systemAllowsName(std::string_view) { return true; }

std::string nameKey(std::string_view name) { return std::string(name); }

std::optional<std::string> otherSpelling(std::string_view) { return std::nullopt; }

}  // namespace vaultcat::platform
