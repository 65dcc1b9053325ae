// Mounts on POSIX systems in a build without libfuse 3: none.
#include "platform/mount/mount_server_posix.h"

namespace vaultcat::platform {

std::optional<MountOutcome> whyCannotMount() { return MountOutcome::kNotBuilt; }

// Never reached: mountTree() asks whyCannotMount() first.
MountOutcome mountAndServe(MountServer&, const std::string&, const std::string&, int, int,
                           std::string&) {
  return MountOutcome::kNotBuilt;
}

}  // namespace vaultcat::platform
