#include "platform/process/wide_path_win32.h"

#include <algorithm>
#include <string_view>

#include "platform/process/handle_win32.h"
#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

// What the system makes of `path` without the prefix; empty where it
// cannot.
std::wstring fullPath(const std::wstring& path) {
  const DWORD units = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (units == 0) return std::wstring();
  std::wstring full(units, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), units, full.data(), nullptr);
  if (written == 0 || written >= units) return std::wstring();
  full.resize(written);
  return full;
}

}  // namespace

std::wstring widePath(const std::string& path) {
  std::wstring wide = toWide(path, CP_ACP).value_or(std::wstring());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  if (wide.empty() || wide.starts_with(kLongPrefix) || wide.starts_with(kDevicePrefix)) return wide;
  const std::wstring full = fullPath(wide);
  if (full.starts_with(kLongPrefix) || full.starts_with(kDevicePrefix)) return full;
  // A share: "\\server\share\..." becomes "\\?\UNC\server\share\...".
  if (full.starts_with(L"\\\\")) return std::wstring(kLongPrefix) + L"UNC" + full.substr(1);
  const bool onDrive = full.size() >= 3 && full[1] == L':' && full[2] == L'\\';
  return onDrive ? std::wstring(kLongPrefix) + full : full;
}

}  // namespace vaultcat::platform
