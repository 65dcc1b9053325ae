// Text between the bytes of a code page and the UTF-16 that the ...W calls
// take and give: every conversion of the program goes through this pair,
// and each caller says what it makes of a text the system cannot convert.
// For the platform's own Windows sources.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// What becomes of bytes that the code page does not hold: replacement
// characters, or no text at all.
enum class Invalid { kReplaced, kRefused };

// `text`, in the code page `codePage` (CP_ACP, CP_UTF8, ...), as UTF-16.
// Empty text is empty text; nothing where the system cannot convert it,
// or where it is longer than one call takes.
std::optional<std::wstring> toWide(std::string_view text, unsigned codePage,
                                   Invalid invalid = Invalid::kReplaced);
// UTF-16 `text` in the code page `codePage`; nothing where the system
// cannot convert it.
std::optional<std::string> toNarrow(std::wstring_view text, unsigned codePage);

}  // namespace vaultcat::platform
