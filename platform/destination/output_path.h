// Where an item is written: paths that stay inside the folder they are
// taken in, whatever names the cache holds or the user types.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// Whether `name` may be one part of an output path: a file or folder of its
// own, inside the folder it is in. Never empty, "." or "..", and never
// holding '/' or '\\'. On Windows also no ':' (a drive or a stream), no
// character Windows forbids in names, no trailing dot or space (which
// Windows drops, so that ".. " would be ".."), and no name Windows keeps
// for a device in every folder (CON, NUL, COM1 and the like, with any
// extension).
bool isSafeName(std::string_view name);

// Whether `name` has the shape of the hidden names this program makes for
// itself (temporary_name.h): a staging folder's, or that of a file written
// beside its target; letters in either case, as Windows takes them. No
// item of a cache is written under such a name, so that none can pass for
// what a run of this program left.
bool isOwnName(std::string_view name);

// The output path for an item path as typed, whose parts '/' and '\\' both
// separate: the same parts joined by '/'. Nothing if any part is not a safe
// name, so that nothing outside the folder can be reached: no "..", no
// leading separator, no drive.
std::optional<std::string> outputPathFor(std::string_view itemPath);

// The system's own rules for one part of an output path, beyond those
// isSafeName() applies everywhere.
bool systemAllowsName(std::string_view name);

// Whether `name` (UTF-8 on Windows) is no longer than the names this
// system's file systems take: 255 bytes, or on Windows 255 UTF-16 units.
bool fitsAsName(std::string_view name);

}  // namespace vaultcat::platform
