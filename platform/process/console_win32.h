// Standard output when it is a Windows console. The program's text is
// UTF-8 (the names in a cache are), but the C runtime hands a console single
// bytes in the console's own code page (437 or 850, say; under Wine,
// Latin-1), so "ä.txt" showed as "Ã¤.txt" whatever the manifest says. A
// console is therefore given the text as UTF-16 through WriteConsoleW, with
// CR LF line ends; a pipe or a file still gets the bytes.
#pragma once

#include <string_view>

namespace vaultcat::platform {

// Whether standard output is a console.
bool standardOutputIsConsole();

// Writes UTF-8 text to the console. A sequence that the end of `text` cuts
// is kept and goes out whole with the next text. False if the console did
// not take it all.
bool writeConsole(std::string_view text);

}  // namespace vaultcat::platform
