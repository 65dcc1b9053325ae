#include "platform/wide_path_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>

namespace vaultcat::platform {

std::wstring widePath(const std::string& path) {
  // A path no call could take becomes one that names nothing.
  if (path.empty() || path.size() > INT_MAX) return std::wstring();
  const int length = static_cast<int>(path.size());
  const int units = ::MultiByteToWideChar(CP_ACP, 0, path.data(), length, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, path.data(), length, wide.data(), units);
  return wide;
}

}  // namespace vaultcat::platform
