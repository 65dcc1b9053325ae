#include "platform/wide_path_win32.h"

#include "platform/handle_win32.h"
#include "platform/wide_text_win32.h"

namespace vaultcat::platform {

// A path no call could take becomes one that names nothing.
std::wstring widePath(const std::string& path) {
  return toWide(path, CP_ACP).value_or(std::wstring());
}

}  // namespace vaultcat::platform
