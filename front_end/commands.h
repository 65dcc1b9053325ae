// The command dispatcher: the usage text, and which command a command line
// runs (command_steps.h lists the commands).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "archive/text_output.h"

namespace vaultcat {

// Runs one command line. `args` are the arguments after the program's own
// name. Everything the user reads goes to `out`; returns the exit status:
// 0 after the usage text, a listing or a successful extraction, 1 for every
// failure.
int runCommandLine(std::span<const std::string_view> args, TextOutput& out);

// The line that reports damage: "Corrupt file: <what>.\n".
std::string damageLine(std::string_view what);

}  // namespace vaultcat
