#include "front_end/commands.h"

#include "front_end/cache_titles.h"
#include "front_end/command_steps.h"

namespace vaultcat {

namespace {

void printUsage(TextOutput& out) {
  out.put("vaultcat - by the vaultcat developers\n");
  out.put("Based on code and file formats from\n");
  out.put("docs/format.md\n\n");
  out.put("Usage:\n\n");
  out.put("vaultcat.exe l gcf_file\n\tPrints directory listing of files in gcf_file.\n\n");
  out.put(
      "vaultcat.exe x gcf_file file dir\n\tExtracts file from gcf_file into dir.\n"
      "\tAll directorys must exist - they will not be created.\n\n");
  out.put(
      "vaultcat.exe a gcf_file folder dir\n\tExtracts folder and all it holds from gcf_file "
      "into dir.\n\tFolders are created as needed; / is the whole cache.\n\n");
  out.put(
      "vaultcat.exe m [-f] gcf_file mountpoint\n\tMounts gcf_file read-only at the folder "
      "mountpoint and serves it in the\n\tbackground (-f: in the foreground, until "
      "Ctrl-C). fusermount3 -u mountpoint\n\tunmounts it.\n\n");
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
  switch (args[0].empty() ? '\0' : args[0][0]) {
    case 'l':
    case 'L':
      return listCommand(args, archive, titles, out);
    case 'x':
    case 'X':
      return extractCommand(args, archive, titles, out);
    case 'a':
    case 'A':
      return treeCommand(args, archive, titles, out);
    case 'm':
    case 'M':
      return mountCommand(args, archive, titles, out);
    default:
      out.print("Unrecognised command: ", Name{args[0]}, "\n");
      return kFailure;
  }
}

}  // namespace vaultcat
