#include "platform/placement_posix.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

namespace vaultcat::platform {

namespace {

// What renameat2(2) answers where the file system or the kernel does not
// know a flag: the placement falls back to plainer calls.
bool flagRefused(int error) { return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP; }

int renameWith(int folder, const char* from, const char* to, unsigned flags) {
  return ::renameat2(folder, from, folder, to, flags);
}

}  // namespace

Placement putInPlace(int folder, const char* temporary, const char* target, bool replacing,
                     const char* backup) {
  if (!replacing) {
    if (renameWith(folder, temporary, target, RENAME_NOREPLACE) == 0) return Placement::kCreated;
    if (errno != EEXIST) {
      if (!flagRefused(errno)) return Placement::kNone;
      // A link, like RENAME_NOREPLACE, fails where the target exists.
      if (::linkat(folder, temporary, folder, target, 0) == 0) {
        ::unlinkat(folder, temporary, 0);
        return Placement::kCreated;
      }
      if (errno != EEXIST) {
        return ::renameat(folder, temporary, folder, target) == 0 ? Placement::kCreated
                                                                  : Placement::kNone;
      }
    }
    // Another process put a file there meanwhile: it is kept like one that
    // was there before.
  }
  if (renameWith(folder, temporary, target, RENAME_EXCHANGE) == 0) return Placement::kExchanged;
  if (!flagRefused(errno)) return Placement::kNone;
  // No swap here: the old file keeps a second name until the run is
  // complete, so that it can still be put back.
  const bool linked = ::linkat(folder, target, folder, backup, 0) == 0;
  if (::renameat(folder, temporary, folder, target) != 0) {
    if (linked) ::unlinkat(folder, backup, 0);
    return Placement::kNone;
  }
  return linked ? Placement::kLinked : Placement::kReplaced;
}

void takeBack(int folder, Placement placement, const char* temporary, const char* target,
              const char* backup) {
  switch (placement) {
    case Placement::kNone:
      ::unlinkat(folder, temporary, 0);
      break;
    case Placement::kCreated:
      ::unlinkat(folder, target, 0);
      break;
    case Placement::kExchanged:
      // Only once the user's file is back at its name may ours go.
      if (renameWith(folder, temporary, target, RENAME_EXCHANGE) == 0)
        ::unlinkat(folder, temporary, 0);
      break;
    case Placement::kLinked:
      ::renameat(folder, backup, folder, target);
      break;
    case Placement::kReplaced:
      break;
  }
}

void settle(int folder, Placement placement, const char* temporary, const char* backup) {
  if (placement == Placement::kExchanged) ::unlinkat(folder, temporary, 0);
  if (placement == Placement::kLinked) ::unlinkat(folder, backup, 0);
}

}  // namespace vaultcat::platform
