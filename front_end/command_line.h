// The options of a command line. The first argument chooses the command;
// options may stand anywhere after it, and "--" ends them, so that an
// argument beginning with '-' can still be given. Short options may be
// joined ("-l0").
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "front_end/text_output.h"

namespace vaultcat {

struct Options {
  bool longListing = false;  // l: one line per item, with its size and state
  bool nullEnded = false;    // l: that listing with names as stored, each line ending in NUL
  bool salvage = false;      // a: every whole file, and the others named
  bool partial = false;      // a, with salvage: what the cache holds of an incomplete file too
  bool foreground = false;   // m: serve the mount in the foreground
  bool verbose = false;      // a, t: a line for every file, on a terminal too
  bool quiet = false;        // a, t: only what went wrong, and the summary
};

struct CommandLine {
  std::vector<std::string_view> words;  // the command word, then every argument not an option
  Options options;
};

// Sorts `args` (the command word first) into words and options. Nothing,
// with a line naming it printed, if an option is unknown, not one of the
// command's, or given without the option it goes with.
std::optional<CommandLine> parseCommandLine(std::span<const std::string_view> args,
                                            TextOutput& out);

}  // namespace vaultcat
