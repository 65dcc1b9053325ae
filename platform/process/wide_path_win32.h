// Paths for the ...W calls of Windows, in the form that takes the most:
// absolute, with the "\\?\" prefix ("\\?\UNC\server\share\..." for a
// share), which the system hands on as it is, up to 32,767 UTF-16 units,
// whether or not it has long paths enabled (without the prefix, a path
// stops at 260 characters where they are not). The text is converted
// from the ANSI code page, as the ...A calls would convert it: UTF-8 under
// the program's manifest from Windows 10 1903 on, the command line's own
// code page before that.
//
// Since the system no longer reads such a path as it would read the path
// typed, the path is first made what the system would make of it: '/'
// becomes '\', a relative path is taken from the working directory as it
// is at the call, "." and ".." are resolved, and trailing dots and spaces
// are dropped where the system drops them. (Names a run adds are refused
// for a trailing dot or space before they reach a path: systemAllowsName().)
// A path that is already "\\?\" is taken as it is, but for its '/', and so
// is one the system makes a device path ("\\.\", as "NUL" becomes).
#pragma once

#include <string>

namespace vaultcat::platform {

// Empty where the path cannot be converted: a path that names nothing.
// (destination/folder.h gives the path of a name in a folder.)
std::wstring widePath(const std::string& path);

}  // namespace vaultcat::platform
