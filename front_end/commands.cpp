#include "front_end/commands.h"

#include <cstring>
#include <string>

#include "archive/cache_archive.h"
#include "archive/extraction_writer.h"
#include "archive/item_lookup.h"
#include "archive/platform.h"
#include "front_end/cache_titles.h"
#include "front_end/directory_listing.h"

namespace vaultcat {

namespace {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;

void printUsage(TextOutput& out) {
  out.put("vaultcat - by the vaultcat developers\n");
  out.put("Based on code and file formats from\n");
  out.put("docs/format.md\n\n");
  out.put("Usage:\n\n");
  out.put("vaultcat.exe l gcf_file\n\tPrints directory listing of files in gcf_file.\n\n");
  out.put(
      "vaultcat.exe x gcf_file file dir\n\tExtracts file from gcf_file into dir.\n"
      "\tAll directorys must exist - they will not be created.\n\n");
}

void printDamage(std::string_view what, TextOutput& out) {
  out.put("Corrupt file: ");
  out.put(what);
  out.put(".\n");
}

// What both commands share: open the archive and say what it holds.
bool openAndIdentify(CacheArchive& archive, const std::string& archivePath,
                     const CacheTitleTable& titles, TextOutput& out) {
  if (!archive.open(archivePath)) {
    out.put("Couldn't open file ");
    out.put(archivePath);
    out.put(": ");
    out.put(archive.lastError());
    out.put('\n');
    return false;
  }
  out.put("Opened ");
  out.put(archivePath);
  out.put('\n');
  identifyCache(titles, archive, archivePath, out);
  return true;
}

int listCommand(std::span<const std::string_view> args, CacheArchive& archive,
                const CacheTitleTable& titles, TextOutput& out) {
  if (args.size() < 2) {
    out.put("You must supply the location of the gcf file\n");
    return kFailure;
  }
  const std::string archivePath(args[1]);
  if (!openAndIdentify(archive, archivePath, titles, out)) return kFailure;
  out.put("Directory listing:\n\n");
  std::string damage = listDirectory(archive, kRootItem, out);
  if (!damage.empty()) {
    printDamage(damage, out);
    return kFailure;
  }
  return kSuccess;
}

// Item paths are held in buffers of this many bytes, the NUL included.
constexpr size_t kItemPathBufferSize = 1024;

void printItemMessage(std::string_view before, const char* itemPath, std::string_view after,
                      TextOutput& out) {
  out.put(before);
  out.put(itemPath);
  out.put(after);
}

int extractCommand(std::span<const std::string_view> args, CacheArchive& archive,
                   const CacheTitleTable& titles, TextOutput& out) {
  if (args.size() < 4) {
    out.put("You must supply the gcf filename, the file to extract and a directory to extract to.\n");
    return kFailure;
  }
  if (args[2].size() >= kItemPathBufferSize) {
    out.put("The file path is longer than 1023 characters\n");
    return kFailure;
  }
  // The item path names the item inside the cache, the output file, and is
  // what every message from the lookup on prints; the lookup cuts a second
  // copy into pieces.
  char itemPath[kItemPathBufferSize] = {};
  args[2].copy(itemPath, args[2].size());
  const std::string archivePath(args[1]);

  // The destination becomes the working directory before the archive is
  // opened, so a relative archive path is found under the destination.
  // Callers rely on that. If the change fails, nothing may be written into
  // the directory the command started in instead.
  const std::string destination(args[3]);
  if (!platform::changeWorkingDirectory(destination)) {
    out.put("Couldn't change to directory ");
    out.put(destination);
    out.put('\n');
    return kFailure;
  }
  if (!openAndIdentify(archive, archivePath, titles, out)) return kFailure;

  char lookupPath[kItemPathBufferSize];
  std::memcpy(lookupPath, itemPath, sizeof lookupPath);
  LookupResult item = findItemByPath(archive, lookupPath);
  if (item.damaged()) {
    printDamage(item.damage, out);
    return kFailure;
  }
  if (!item.found()) {
    printItemMessage("Couldn't find ", itemPath, " in directory\n", out);
    return kFailure;
  }
  printItemMessage("Found ", itemPath, ", attempting to extract...\n", out);

  LookupResult firstEntry = findBlockEntryForItem(archive, static_cast<uint32_t>(item.index));
  if (firstEntry.damaged()) {
    printDamage(firstEntry.damage, out);
    return kFailure;
  }
  if (!firstEntry.found()) {
    printItemMessage("No block entry for ", itemPath, "\nDid you try to extract a directory?\n",
                     out);
    return kFailure;
  }

  platform::OutputFile output;
  if (!output.create(platform::outputPathFor(itemPath))) {
    printItemMessage("Couldn't create file ", itemPath, " - do all directorys exist?\n", out);
    return kFailure;
  }
  ExtractionResult result =
      writeFileData(archive, output, static_cast<uint32_t>(firstEntry.index), out);
  // A file that did not come out whole is removed rather than left looking
  // complete.
  if (result.status == ExtractionResult::Status::kDamaged) {
    output.discard();
    printDamage(result.damage, out);
    return kFailure;
  }
  if (!result.ok() || !output.close()) {
    output.discard();
    printItemMessage("Couldn't write file ", itemPath, "\n", out);
    return kFailure;
  }
  out.put("Success!\n");
  archive.close();
  return kSuccess;
}

}  // namespace

int runCommandLine(std::span<const std::string_view> args, TextOutput& out) {
  CacheArchive archive;
  CacheTitleTable titles;
  fillCacheTitles(titles);

  if (args.empty()) {
    printUsage(out);
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
    default:
      out.put("Unrecognised command: ");
      out.put(args[0]);
      out.put('\n');
      return kFailure;
  }
}

}  // namespace vaultcat
