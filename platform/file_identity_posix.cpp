// File identities on POSIX systems: fstat(2).
#include <sys/stat.h>

#include "platform/file_identity.h"

namespace vaultcat::platform {

bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity) {
  struct stat info {};
  if (::fstat(static_cast<int>(handle), &info) != 0) return false;
  identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
              static_cast<uint64_t>(info.st_size),
              static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
              static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
  return true;
}

}  // namespace vaultcat::platform
