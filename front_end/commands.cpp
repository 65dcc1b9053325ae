#include "front_end/commands.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/damage_text.h"
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

void printDamage(std::string_view what, TextOutput& out) { out.put(damageLine(what)); }

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
  // A cache rewritten in place can list short without a fault.
  if (damage.empty() && !archive.unchangedSinceOpen()) damage = damage_text::kCacheChanged;
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

// The head of the chain of block entries of the item at `itemPath`, or
// nothing, with the message printed, if there is none.
std::optional<uint32_t> findFirstBlockEntry(const CacheArchive& archive, const char* itemPath,
                                            TextOutput& out) {
  char lookupPath[kItemPathBufferSize];
  std::memcpy(lookupPath, itemPath, sizeof lookupPath);
  LookupResult item = findItemByPath(archive, lookupPath);
  if (item.damaged()) {
    printDamage(item.damage, out);
    return std::nullopt;
  }
  if (!item.found()) {
    printItemMessage("Couldn't find ", itemPath, " in directory\n", out);
    return std::nullopt;
  }
  printItemMessage("Found ", itemPath, ", attempting to extract...\n", out);

  LookupResult firstEntry = findBlockEntryForItem(archive, static_cast<uint32_t>(item.index));
  if (firstEntry.damaged()) {
    printDamage(firstEntry.damage, out);
    return std::nullopt;
  }
  if (!firstEntry.found()) {
    printItemMessage("No block entry for ", itemPath, "\nDid you try to extract a directory?\n",
                     out);
    return std::nullopt;
  }
  return static_cast<uint32_t>(firstEntry.index);
}

// Writes the file into a temporary output and puts it in place of the
// target only once every byte is written, the progress has reached the
// user and the cache is still what was opened. Every other way out leaves
// the target as it was: `output` undoes itself unless kept.
int writeAndFinish(const CacheArchive& archive, uint32_t firstBlockEntry, const char* itemPath,
                   TextOutput& out) {
  // Nothing is worth writing for a user who cannot be told the outcome.
  if (!out.flush()) return kFailure;
  // Neither the cache nor the file the progress goes to may be written over.
  std::vector<platform::FileIdentity> mustNotBe;
  if (const platform::FileIdentity* cache = archive.identity()) mustNotBe.push_back(*cache);
  if (platform::FileIdentity console; platform::standardOutputFile(console))
    mustNotBe.push_back(console);
  platform::OutputFile output;
  if (!output.create(platform::outputPathFor(itemPath), mustNotBe)) {
    printItemMessage("Couldn't create file ", itemPath, " - do all directorys exist?\n", out);
    return kFailure;
  }
  ExtractionResult result = writeFileData(archive, output, firstBlockEntry, out);
  if (result.status == ExtractionResult::Status::kDamaged) {
    printDamage(result.damage, out);
    return kFailure;
  }
  if (result.status == ExtractionResult::Status::kCacheUnreadable) {
    printDamage(damage_text::kCacheUnreadable, out);
    return kFailure;
  }
  if (!out.flush()) return kFailure;
  if (!archive.unchangedSinceOpen()) {
    printDamage(damage_text::kCacheChanged, out);
    return kFailure;
  }
  if (!result.ok() || !output.commit()) {
    printItemMessage("Couldn't write file ", itemPath, "\n", out);
    return kFailure;
  }
  out.put("Success!\n");
  if (!out.flush()) return kFailure;
  output.keep();
  return kSuccess;
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
  std::optional<uint32_t> firstBlockEntry = findFirstBlockEntry(archive, itemPath, out);
  if (!firstBlockEntry) return kFailure;
  const int status = writeAndFinish(archive, *firstBlockEntry, itemPath, out);
  archive.close();
  return status;
}

}  // namespace

std::string damageLine(std::string_view what) {
  return "Corrupt file: " + std::string(what) + ".\n";
}

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
