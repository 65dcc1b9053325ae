// Output names on POSIX systems: every byte but '/' and NUL may be in a
// name, so the shared rules are all there is, but for its length.
#include <climits>

#include "platform/destination/output_path.h"

namespace vaultcat::platform {

bool systemAllowsName(std::string_view) { return true; }

bool fitsAsName(std::string_view name) { return name.size() <= NAME_MAX; }

}  // namespace vaultcat::platform
