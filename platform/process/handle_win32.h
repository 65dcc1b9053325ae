// A Windows handle that closes itself, and the integer form the shared
// headers keep handles in: for the platform's own Windows sources.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

namespace vaultcat::platform {

// Both "no handle" values that the API hands back (null and
// INVALID_HANDLE_VALUE) count as empty.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  // Holds `handle` instead of the one held.
  void take(HANDLE handle) {
    reset();
    handle_ = handle;
  }
  // Closes the handle; false if the system reports that it failed.
  bool reset() {
    const bool closed = !valid() || ::CloseHandle(handle_) != 0;
    handle_ = nullptr;
    return closed;
  }

 private:
  HANDLE handle_;
};

// The shared headers keep handles as integers so that they need no system
// header; INVALID_HANDLE_VALUE is -1 there, their "closed".
inline std::intptr_t toStored(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
inline HANDLE fromStored(std::intptr_t stored) { return reinterpret_cast<HANDLE>(stored); }

}  // namespace vaultcat::platform
