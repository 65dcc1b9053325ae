// Output names on POSIX systems: every byte but '/' and NUL may be in a
// name, so the shared rules are all there is.
#include "platform/output_path.h"

namespace vaultcat::platform {

bool systemAllowsName(std::string_view) { return true; }

}  // namespace vaultcat::platform
