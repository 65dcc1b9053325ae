#include "front_end/commands.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/damage_text.h"
#include "archive/extraction_writer.h"
#include "archive/item_lookup.h"
#include "front_end/cache_titles.h"
#include "front_end/command_steps.h"
#include "front_end/directory_listing.h"
#include "front_end/output_sink.h"
#include "platform/output_file.h"
#include "platform/output_path.h"
#include "platform/process.h"

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
}

int listCommand(std::span<const std::string_view> args, CacheArchive& archive,
                const CacheTitleTable& titles, TextOutput& out) {
  if (args.size() < 2) {
    out.put("You must supply the location of the gcf file\n");
    return kFailure;
  }
  const std::string archivePath(args[1]);
  if (!openArchive(archive, archivePath, out)) return kFailure;
  Status status = printListing(archive, archivePath, titles, out);
  if (!status.ok()) printDamage(status.damage, out);
  return status.ok() ? kSuccess : kFailure;
}

// Writes the file into a temporary output and puts it in place of the
// target only once every byte is written, the progress has reached the
// user and the cache is still what was opened. Every other way out leaves
// the target as it was: `output` undoes itself unless kept.
int writeAndFinish(const CacheArchive& archive, uint32_t firstBlockEntry, const char* itemPath,
                   TextOutput& out) {
  // Nothing is worth writing for a user who cannot be told the outcome.
  if (!out.flush()) return kFailure;
  platform::OutputFile output;
  const std::optional<std::string> path = platform::outputPathFor(itemPath);
  if (!path || !output.create(*path, archive.source())) {
    out.print("Couldn't create file ", Name{itemPath}, " - do all directorys exist?\n");
    return kFailure;
  }
  OutputSink<platform::OutputFile> sink(output);
  Status written = writeFileData(archive, sink, firstBlockEntry, out);
  // A cache that changed explains any failure, and fails a success.
  if (Status cache = archive.checkUnchanged(); !cache.ok()) written = cache;
  if (!written.damage.empty()) {
    printDamage(written.damage, out);
    return kFailure;
  }
  if (!out.flush()) return kFailure;
  if (!written.ok() || !output.commit()) {
    out.print("Couldn't write file ", Name{itemPath}, "\n");
    return kFailure;
  }
  // "Success!" reaches the user and the file stays, or neither.
  platform::holdInterruptsToTheEnd();
  out.put("Success!\n");
  if (!out.flush()) return kFailure;
  output.keep();
  return kSuccess;
}

int extractCommand(std::span<const std::string_view> args, CacheArchive& archive,
                   const CacheTitleTable& titles, TextOutput& out) {
  if (args.size() < 4) {
    out.put(
        "You must supply the gcf filename, the file to extract and a directory to extract to.\n");
    return kFailure;
  }
  if (args[2].size() > kMaxPathLength) {
    out.print("The file path is longer than ", kMaxPathLength, " characters\n");
    return kFailure;
  }
  // The item path names the item inside the cache, the output file, and is
  // what every message from the lookup on prints; the lookup cuts a second
  // copy into pieces.
  char itemPath[kMaxPathLength + 1] = {};
  args[2].copy(itemPath, args[2].size());
  const std::string archivePath(args[1]);

  // The destination becomes the working directory before the archive is
  // opened, so a relative archive path is found under the destination.
  // Callers rely on that. If the change fails, nothing may be written into
  // the directory the command started in instead.
  const std::string destination(args[3]);
  if (!platform::changeWorkingDirectory(destination)) {
    out.print("Couldn't change to directory ", Name{destination}, "\n");
    return kFailure;
  }
  if (!openArchive(archive, archivePath, out)) return kFailure;
  introduce(archive, archivePath, titles, out);
  LookupResult item = findItem(archive, itemPath, out);
  if (!item.found()) return kFailure;
  LookupResult firstBlockEntry =
      findFirstBlockEntry(archive, static_cast<uint32_t>(item.index), itemPath, out);
  if (!firstBlockEntry.found()) return kFailure;
  const int status =
      writeAndFinish(archive, static_cast<uint32_t>(firstBlockEntry.index), itemPath, out);
  archive.close();
  return status;
}

}  // namespace

bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out) {
  if (archive.open(archivePath)) return true;
  out.print("Couldn't open file ", Name{archivePath}, ": ", archive.lastError(), "\n");
  return false;
}

void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out) {
  out.print("Opened ", Name{archivePath}, "\n");
  identifyCache(titles, archive, archivePath, out);
}

void printDamage(std::string_view what, TextOutput& out) { out.put(damageLine(what)); }

Status printListing(const CacheArchive& archive, std::string_view archivePath,
                    const CacheTitleTable& titles, TextOutput& out) {
  introduce(archive, archivePath, titles, out);
  out.put("Directory listing:\n\n");
  Status status = listDirectory(archive, kRootItem, out);
  // A cache rewritten in place can list short without a fault.
  if (status.ok()) status = archive.checkUnchanged();
  return status;
}

LookupResult findItem(const CacheArchive& archive, const char* itemPath, TextOutput& out) {
  // The lookup cuts its own copy into pieces. The copy ends at the path's
  // NUL: a caller's path need not fill a whole buffer.
  char lookupPath[kMaxPathLength + 1] = {};
  std::string_view(itemPath).substr(0, kMaxPathLength).copy(lookupPath, kMaxPathLength);
  LookupResult item = findItemByPath(archive, lookupPath);
  if (!item.status.ok()) {
    printDamage(item.status.damage, out);
  } else if (!item.found()) {
    out.print("Couldn't find ", Name{itemPath}, " in directory\n");
  } else {
    out.print("Found ", Name{itemPath}, ", attempting to extract...\n");
  }
  return item;
}

LookupResult findFirstBlockEntry(const CacheArchive& archive, uint32_t item, const char* itemPath,
                                 TextOutput& out) {
  LookupResult firstEntry = findBlockEntryForItem(archive, item);
  if (!firstEntry.status.ok()) {
    printDamage(firstEntry.status.damage, out);
  } else if (!firstEntry.found()) {
    out.print("No block entry for ", Name{itemPath}, "\nDid you try to extract a directory?\n");
  }
  return firstEntry;
}

std::string damageLine(std::string_view what) {
  return "Corrupt file: " + std::string(what) + ".\n";
}

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
    default:
      out.print("Unrecognised command: ", Name{args[0]}, "\n");
      return kFailure;
  }
}

}  // namespace vaultcat
