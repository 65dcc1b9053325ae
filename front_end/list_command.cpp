// The list command: `l gcf_file`, the whole tree of the cache; with
// --long, one line per item saying what the cache holds of it.
#include <algorithm>
#include <string>

#include "archive/file_check.h"
#include "front_end/command_steps.h"
#include "front_end/commands.h"
#include "front_end/directory_listing.h"
#include "front_end/tree_plan.h"

namespace vaultcat {

namespace {

// The long listing, a record per item with its fields two spaces apart,
// the path last, as ls -l and tar -tv end theirs with the name:
//
//        700  -  readme.txt
//          -  -  docs/
//      50000  incomplete (40960 of 50000 bytes)  data/big.bsp
//       4096  damaged  data/sound/x.wav
//
// the size its directory entry records, right-aligned ("-" for a folder);
// what the cache lacks of it ("-" for nothing); its path as x and a take
// it, a folder's ending in '/'. No field but the path holds two spaces in
// a row, so a script can split a record at the first two such gaps. A
// folder whose contents cannot all be followed gets a second record, after
// what could be, saying "damaged".
class LongListing {
 public:
  LongListing(const CacheArchive& archive, TextOutput& out, bool nullEnded)
      : checker_(archive), out_(out), end_(nullEnded ? '\0' : '\n') {}

  bool item(const PlannedItem& item) {
    if (item.folder) {
      ++folders_;
      return record(kNoSize, "-", item.path, true);
    }
    ++files_;
    const FileState state = checker_.check(item.index);
    recorded_ += state.recordedSize;
    if (state.kind == FileState::Kind::kWhole) {
      held_ += state.heldBytes;
      return record(state.recordedSize, "-", item.path, false);
    }
    allWhole_ = false;
    if (state.kind == FileState::Kind::kDamaged) {
      return record(state.recordedSize, "damaged", item.path, false);
    }
    held_ += state.heldBytes;
    const std::string lacking = "incomplete (" + std::to_string(state.heldBytes) + " of " +
                                std::to_string(state.recordedSize) + " bytes)";
    return record(state.recordedSize, lacking, item.path, false);
  }

  bool damagedFolder(const std::string& path) {
    allWhole_ = false;
    return record(kNoSize, "damaged", path.empty() ? "/" : path, !path.empty());
  }

  // Not in the NUL-ended form, whose records are items only.
  void total() {
    if (end_ != '\n') return;
    out_.print(files_, plural(files_, " file"), ", ", folders_, plural(folders_, " folder"), ": ",
               recorded_, plural(recorded_, " byte"), " recorded, ", held_, " in the cache\n");
  }
  bool allWhole() const { return allWhole_; }

 private:
  static constexpr uint64_t kNoSize = UINT64_MAX;
  static constexpr uint64_t kSizeWidth = 10;  // the digits of the largest size a cache records

  bool record(uint64_t size, std::string_view lacking, std::string_view path, bool folder) {
    const std::string number = size == kNoSize ? "-" : std::to_string(size);
    out_.putSpaces(kSizeWidth - std::min<uint64_t>(kSizeWidth, number.size()));
    out_.print(number, "  ", lacking, "  ", Name{path});
    if (folder) out_.put('/');
    out_.put(end_);
    return true;
  }

  FileChecker checker_;
  TextOutput& out_;
  const char end_;
  uint64_t files_ = 0, folders_ = 0, recorded_ = 0, held_ = 0;
  bool allWhole_ = true;
};

// `l --long`: as the check command answers, 0 when the cache holds every
// item whole, 2 when the records name some that it does not, 1 when the
// cache cannot be read.
int listLong(const CacheArchive& archive, const std::string& archivePath,
             const CacheTitleTable& titles, bool nullEnded, TextOutput& out) {
  // Names as stored for a script that asked for them; otherwise never a
  // control character, in a pipe too.
  // On a terminal names are escaped for every listing, as the console
  // set; in a pipe the NUL-ended form keeps them as stored, for scripts.
  if (!nullEnded) out.escapeNames();
  if (!nullEnded) {
    introduce(archive, archivePath, titles, out);
    sayIfCut(archive, out);
  }
  EmptyDestination nowhere;
  TreePlan plan(archive, {}, nowhere);
  LongListing listing(archive, out, nullEnded);
  plan.forEach([&](const PlannedItem& item) { return listing.item(item); },
               [&](const std::string& path, const Status&) { return listing.damagedFolder(path); });
  Status status = plan.damage();
  if (status.ok()) status = archive.checkUnchanged();
  if (!status.ok()) {
    printDamage(status.damage, out);
    return kFailure;
  }
  listing.total();
  return listing.allWhole() ? kSuccess : kNotAllWhole;
}

}  // namespace

int listCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out) {
  const std::optional<std::string> archivePath = cacheArgument(line.words, out);
  if (!archivePath) return kFailure;
  const Options& options = line.options;
  // The long listing reads every file through its map, which a cache cut
  // short still gives; the plain listing opens only a whole cache.
  const bool longListing = options.longListing || options.nullEnded;
  if (!openArchive(archive, *archivePath, out,
                   longListing ? CacheArchive::Extent::kMayBeCut : CacheArchive::Extent::kWhole))
    return kFailure;
  if (longListing) return listLong(archive, *archivePath, titles, options.nullEnded, out);
  Status status = printListing(archive, *archivePath, titles, out);
  if (!status.ok()) printDamage(status.damage, out);
  return status.ok() ? kSuccess : kFailure;
}

}  // namespace vaultcat
