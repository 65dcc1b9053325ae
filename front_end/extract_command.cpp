// The extract command: `x gcf_file file dir`, one file, written under dir
// at its path in the cache.
#include <optional>
#include <string>

#include "archive/extraction_writer.h"
#include "front_end/command_steps.h"
#include "front_end/commands.h"
#include "front_end/output_sink.h"
#include "platform/destination/output_file.h"
#include "platform/destination/output_path.h"
#include "platform/process/process.h"

namespace vaultcat {

namespace {

// Writes the file into a temporary output and puts it in place of the
// target only once every byte is written, the progress has reached the
// user and the cache is still what was opened. Every other way out leaves
// the target as it was: `output` undoes itself unless kept.
int writeAndFinish(const CacheArchive& archive, uint32_t firstBlockEntry, std::string_view itemPath,
                   TextOutput& out) {
  // Nothing is worth writing for a user who cannot be told the outcome.
  if (!out.flush()) return kFailure;
  platform::OutputFile output;
  const std::optional<std::string> path = platform::outputPathFor(itemPath);
  if (!path || !output.create(*path, archive.source())) {
    cannotCreate(itemPath, out);
    return kFailure;
  }
  OutputSink<platform::OutputFile> file(output);
  BlockLines sink(file, out);
  Status written = writeFileData(archive, sink, firstBlockEntry);
  // A cache that changed explains any failure, and fails a success.
  if (Status cache = archive.checkUnchanged(); !cache.ok()) written = cache;
  if (!written.damage.empty()) {
    printDamage(written.damage, out);
    return kFailure;
  }
  if (!out.flush()) return kFailure;
  if (!written.ok() || !output.commit()) {
    cannotWrite(itemPath, out);
    return kFailure;
  }
  // "Success!" reaches the user and the file stays, or neither.
  platform::holdInterruptsToTheEnd();
  out.put("Success!\n");
  if (!out.flush()) return kFailure;
  output.keep();
  return kSuccess;
}

}  // namespace

int extractCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                   TextOutput& out) {
  const std::optional<ItemArguments> given =
      itemArguments(line.words, "the file to extract", false, out);
  if (!given) return kFailure;
  // The item path names the item inside the cache and the output file, and
  // every message from the lookup on prints it.
  const std::string_view itemPath = given->itemPaths.front();
  // The destination becomes the working directory before the archive is
  // opened, so a relative archive path is found under the destination.
  // Callers rely on that. If the change fails, nothing may be written into
  // the directory the command started in instead.
  if (!platform::changeWorkingDirectory(given->destination)) {
    out.print("Couldn't change to directory ", Name{given->destination}, "\n");
    return kFailure;
  }
  if (!openArchive(archive, given->archivePath, out)) return kFailure;
  introduce(archive, given->archivePath, titles, out);
  const LookupResult item = findItem(archive, itemPath, out);
  if (!item.found()) return kFailure;
  out.print("Found ", Name{itemPath}, ", attempting to extract...\n");
  const LookupResult firstBlockEntry = findFirstBlockEntry(archive, *item.index, itemPath, out);
  if (!firstBlockEntry.found()) return kFailure;
  const int status = writeAndFinish(archive, *firstBlockEntry.index, itemPath, out);
  archive.close();
  return sayIfOutputLost(status, out);
}

}  // namespace vaultcat
