// The lock that lets one run at a time extract into a destination: a file
// of the running user's own, in a folder that only this user may write
// (run_lock_posix.cpp and run_lock_win32.cpp say where), named after the
// destination. No other user can hold it, and it is taken before the
// destination is made, so that two runs into one that does not exist yet
// meet at it too. For the platform's own sources.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/process/file_identity.h"

namespace vaultcat::platform {

class RunLock {
 public:
  RunLock() = default;
  ~RunLock() { release(); }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock of the destination `name` in the folder `folder` (of
  // the folder `folder` itself, for an empty `name`), waiting up to `wait`
  // for another process that holds it; a process that ends lets go. kBusy
  // if the other still holds it then; kStopped if the run is to stop
  // (mustStop()) before.
  enum class Taken { kTaken, kBusy, kStopped, kFailed };
  Taken take(const FileIdentity& folder, std::string_view name, std::chrono::milliseconds wait);
  void release();

 private:
  // Each system's part: tries once to take the lock file `name`; false,
  // with `busy` where another holds it.
  bool tryTake(const std::string& name, bool& busy);

  std::intptr_t file_ = -1;
  std::intptr_t folder_ = -1;  // POSIX: the folder the lock file is in
  std::string name_;
};

}  // namespace vaultcat::platform
