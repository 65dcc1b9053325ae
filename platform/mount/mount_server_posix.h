// What the parts of a mount on POSIX systems share: the tree and the cache
// it serves, the handlers of the kernel's requests
// (mount_requests_posix.cpp), and the session that mounts and serves them
// (mount_session_posix.cpp); without libfuse 3 neither is built, and
// mount_unavailable.cpp says so. Nothing outside platform/mount/ includes it.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "platform/mount/mount.h"

struct fuse_lowlevel_ops;

namespace vaultcat::platform {

struct MountServer {
  MountedTree& tree;
  const SourceFile& source;
  struct stat cache {};  // the owner, permissions and times every node has
};

// The handlers of the requests the kernel sends about the mount.
const fuse_lowlevel_ops& requestHandlers();

// Mounts `server`'s tree at `point` with the mount `options` and serves it
// until the mount ends: unmounted, or an interrupt (noted): kServed, or
// kFailed with libfuse's last words in `why`. `report`, if not -1, is told
// first whether the mount is in place: 'y', or 'n' and why not. In the
// background, `callerGone` ends when the process that returned has ended,
// and the tree starts its own work only then, so that what it prints comes
// after all the caller printed.
MountOutcome mountAndServe(MountServer& server, const std::string& point,
                           const std::string& options, int report, int callerGone,
                           std::string& why);

}  // namespace vaultcat::platform
