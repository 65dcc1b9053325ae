// The command dispatcher and the commands it runs, one file each
// (list_command.cpp, extract_command.cpp, tree_command.cpp,
// check_command.cpp, mount_command.cpp).
#pragma once

#include <span>
#include <string_view>

#include "archive/cache_archive.h"
#include "front_end/cache_titles.h"
#include "front_end/command_line.h"
#include "front_end/text_output.h"

namespace vaultcat {

// Runs one command line. `args` are the arguments after the program's own
// name. Everything the user reads goes to `out`; returns the exit status:
// 0 after the usage text, a listing or a successful extraction, 1 for every
// failure.
int runCommandLine(std::span<const std::string_view> args, TextOutput& out);

// The commands. Each takes the whole command line, its own word first, and
// answers the exit status.
int listCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out);  // l gcf_file
int extractCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                   TextOutput& out);  // x gcf_file file dir
int treeCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out);  // a gcf_file item... dir
int checkCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                 TextOutput& out);  // t gcf_file [folder]
int mountCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                 TextOutput& out);  // m gcf_file mountpoint

}  // namespace vaultcat
