#include "front_end/command_line.h"

#include <string>

namespace vaultcat {

namespace {

struct KnownOption {
  std::string_view longName;
  char shortName;
  std::string_view commands;  // the letters of the commands that take it
  bool Options::*flag;
  // The option it goes with, if any: what it asks has no sense alone.
  bool Options::*needs = nullptr;
};

// One row a line, a table to add to.
// clang-format off
constexpr KnownOption kOptions[] = {
    {"long", 'l', "l", &Options::longListing},
    {"null", '0', "l", &Options::nullEnded},
    {"salvage", 's', "a", &Options::salvage},
    // Alone it could mean a run that stops at damage and writes parts:
    // the program does not guess which, in the user's folder.
    {"partial", 'p', "a", &Options::partial, &Options::salvage},
    {"foreground", 'f', "m", &Options::foreground},
    {"verbose", 'v', "at", &Options::verbose},
    {"quiet", 'q', "at", &Options::quiet},
};
// clang-format on

char toLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Sets the option `known` for `command`; false, with the line printed,
// if there is none or it is another command's. `typed` is how it was given.
bool setOption(const KnownOption* known, std::string_view typed, char command, Options& options,
               TextOutput& out) {
  if (known == nullptr) {
    out.print("Unrecognised option: ", Name{typed}, "\n");
    return false;
  }
  if (known->commands.find(command) == std::string_view::npos) {
    out.print("The option ", Name{typed}, " does not apply to the command ", command, "\n");
    return false;
  }
  options.*known->flag = true;
  return true;
}

const KnownOption* findLong(std::string_view name) {
  for (const KnownOption& known : kOptions)
    if (known.longName == name) return &known;
  return nullptr;
}

const KnownOption* findShort(char name) {
  for (const KnownOption& known : kOptions)
    if (known.shortName == name) return &known;
  return nullptr;
}

// False, with the line printed, where an option was given without the
// one it goes with.
bool together(const Options& options, TextOutput& out) {
  for (const KnownOption& known : kOptions) {
    if (known.needs == nullptr || !(options.*known.flag) || options.*known.needs) continue;
    for (const KnownOption& needed : kOptions) {
      if (needed.flag != known.needs) continue;
      out.print("The option --", known.longName, " needs --", needed.longName, " (-",
                needed.shortName, ") as well\n");
    }
    return false;
  }
  return true;
}

}  // namespace

std::optional<CommandLine> parseCommandLine(std::span<const std::string_view> args,
                                            TextOutput& out) {
  CommandLine line;
  if (args.empty()) return line;
  line.words.push_back(args[0]);
  const char command = args[0].empty() ? '\0' : toLower(args[0][0]);
  bool optionsEnded = false;
  for (const std::string_view arg : args.subspan(1)) {
    // A lone "-" is an argument, as it is to most programs.
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      line.words.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg[1] == '-') {
      if (!setOption(findLong(arg.substr(2)), arg, command, line.options, out)) return std::nullopt;
    } else {
      for (const char letter : arg.substr(1)) {
        const std::string typed{'-', letter};
        if (!setOption(findShort(letter), typed, command, line.options, out)) return std::nullopt;
      }
    }
  }
  if (!together(line.options, out)) return std::nullopt;
  return line;
}

}  // namespace vaultcat
