// The run lock, on every system: the lock file's name, and the wait.
#include "platform/destination/run_lock.h"

#include <cstdio>
#include <thread>

#include "platform/process/process.h"

namespace vaultcat::platform {

namespace {

// Two hashes of the name (FNV-1a from two starting points): names that
// differ meet at one lock once in 2^128, and then only wait for each other.
std::string nameTag(std::string_view name) {
  uint64_t first = 0xCBF29CE484222325u, second = 0x84222325CBF29CE4u;
  for (const char c : name) {
    first = (first ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
    second = (second ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
  }
  char tag[40];
  std::snprintf(tag, sizeof tag, "%016llx%016llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return tag;
}

}  // namespace

RunLock::Taken RunLock::take(const FileIdentity& folder, std::string_view name,
                             std::chrono::milliseconds wait) {
  release();
  char identity[48];
  std::snprintf(identity, sizeof identity, "%llx-%llx",
                static_cast<unsigned long long>(folder.device),
                static_cast<unsigned long long>(folder.inode));
  const std::string file = std::string(identity) + (name.empty() ? "" : "-" + nameTag(name));
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool busy = false;
  while (!tryTake(file, busy)) {
    if (!busy) return Taken::kFailed;
    if (mustStop()) return Taken::kStopped;
    if (std::chrono::steady_clock::now() >= deadline) return Taken::kBusy;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return Taken::kTaken;
}

}  // namespace vaultcat::platform
