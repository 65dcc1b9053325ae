// Mounts on Windows: there is no FUSE to mount with.
#include "platform/mount/mount.h"

namespace vaultcat::platform {

std::optional<MountOutcome> whyCannotMount() { return MountOutcome::kNotOnThisSystem; }

MountOutcome mountTree(MountedTree&, const SourceFile&, const MountRequest&, std::string&) {
  return MountOutcome::kNotOnThisSystem;
}

void releaseStandardStreams() {}

}  // namespace vaultcat::platform
