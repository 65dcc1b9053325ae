// File identities on POSIX systems: statx(2), which also tells when a file
// was made where the file system keeps it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "platform/process/file_identity.h"
#include "platform/process/io_posix.h"

namespace vaultcat::platform {

bool describeAt(int folder, const char* name, FileIdentity& identity, struct statx* described) {
  struct statx info {};
  const int flags = AT_SYMLINK_NOFOLLOW | (*name == '\0' ? AT_EMPTY_PATH : 0);
  if (::statx(folder, name, flags, STATX_BASIC_STATS | STATX_BTIME, &info) != 0) return false;
  const auto nanoseconds = [](const statx_timestamp& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
  };
  identity = {static_cast<uint64_t>(::makedev(info.stx_dev_major, info.stx_dev_minor)),
              info.stx_ino,
              info.stx_size,
              nanoseconds(info.stx_mtime),
              nanoseconds(info.stx_ctime),
              (info.stx_mask & STATX_BTIME) != 0 ? nanoseconds(info.stx_btime) : 0,
              static_cast<uint32_t>(info.stx_mode & S_IFMT)};
  if (described != nullptr) *described = info;
  return true;
}

bool FileIdentity::isFolder() const { return type == S_IFDIR; }
bool FileIdentity::isFile() const { return type == S_IFREG; }

bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity) {
  return describeAt(static_cast<int>(handle), "", identity);
}

}  // namespace vaultcat::platform
