#include "front_end/commands.h"

#include "front_end/cache_titles.h"
#include "front_end/command_line.h"
#include "front_end/command_steps.h"

namespace vaultcat {

namespace {

void printUsage(TextOutput& out) {
  out.put("vaultcat - by the vaultcat developers\n");
  out.put("Based on code and file formats from\n");
  // Where the description of the format is once installed, on this system.
  out.put(VAULTCAT_FORMAT_DESCRIPTION "\n\n");
  out.put("Usage:\n\n");
  out.put("vaultcat.exe l gcf_file\n\tPrints directory listing of files in gcf_file.\n\n");
  out.put(
      "vaultcat.exe x gcf_file file dir\n\tExtracts file from gcf_file into dir.\n"
      "\tAll directorys must exist - they will not be created.\n\n");
  out.put(
      "vaultcat.exe a gcf_file item... dir\n\tExtracts each item, a folder and all it holds or "
      "a file, from gcf_file\n\tinto dir. Folders are created as needed; / is the whole "
      "cache.\n\n");
  out.put(
      "vaultcat.exe t gcf_file [folder]\n\tChecks that gcf_file holds every file under folder "
      "whole (by default\n\tthe whole cache) and names each one it does not. Writes nothing.\n\n");
  out.put(
      "vaultcat.exe m gcf_file mountpoint\n\tMounts gcf_file read-only at the folder mountpoint "
      "and serves it in the\n\tbackground. fusermount3 -u mountpoint unmounts it.\n\n");
  out.put(
      "Options, after the command word (-- ends them):\n"
      "\tl --long, -l      one line per item: size, what the cache lacks, path\n"
      "\tl --null, -0      that listing, names as stored, each line ending in NUL\n"
      "\ta --salvage, -s   extracts every file held whole, and names the others\n"
      "\ta --partial, -p   with -s, writes incomplete files in part, the rest a hole\n"
      "\ta t --verbose, -v a line for every file, on a terminal too\n"
      "\ta t --quiet, -q   only what went wrong, and the summary\n"
      "\tm --foreground, -f  serves in the foreground, until Ctrl-C\n"
      "\n");
}

// The command each first letter runs.
using Command = int (*)(const CommandLine&, CacheArchive&, const CacheTitleTable&, TextOutput&);
Command commandFor(char letter) {
  switch (letter) {
    case 'l':
    case 'L':
      return listCommand;
    case 'x':
    case 'X':
      return extractCommand;
    case 'a':
    case 'A':
      return treeCommand;
    case 't':
    case 'T':
      return checkCommand;
    case 'm':
    case 'M':
      return mountCommand;
    default:
      return nullptr;
  }
}

}  // namespace

int runCommandLine(std::span<const std::string_view> args, TextOutput& out) {
  CacheArchive archive;
  CacheTitleTable titles;
  fillCacheTitles(titles);

  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    printUsage(out);
    return kSuccess;
  }
  if (args[0] == "-V" || args[0] == "--version") {
    out.put("vaultcat " VAULTCAT_VERSION "\n");
    return kSuccess;
  }
  // Only the first character chooses the command, so "list" and "xtract"
  // work as well.
  const Command command = commandFor(args[0].empty() ? '\0' : args[0][0]);
  if (command == nullptr) {
    out.print("Unrecognised command: ", Name{args[0]}, "\n");
    return kFailure;
  }
  // Every option is known before anything is opened.
  const std::optional<CommandLine> line = parseCommandLine(args, out);
  if (!line) return kFailure;
  return command(*line, archive, titles, out);
}

}  // namespace vaultcat
