// Paths for the ...W calls of Windows. Only those take a path past 260
// characters where the system has long paths enabled; the ...A calls
// refuse one even then (Wine always does). The text is converted from the
// ANSI code page, as the ...A calls would convert it: UTF-8 under the
// program's manifest from Windows 10 1903 on, the command line's own code
// page before that.
#pragma once

#include <string>

#include "platform/folder.h"

namespace vaultcat::platform {

std::wstring widePath(const std::string& path);
// The path of a name in a folder.
std::wstring widePath(At at);

}  // namespace vaultcat::platform
