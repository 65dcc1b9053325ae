// The check command: `t gcf_file [folder]`, whether the cache holds every
// file under the folder (the whole cache by default) whole. It reads the
// tables alone, never the data blocks, and writes nothing.
#include <optional>
#include <string>
#include <vector>

#include "archive/file_check.h"
#include "archive/tree_walk.h"
#include "front_end/command_steps.h"
#include "front_end/commands.h"
#include "front_end/progress.h"
#include "platform/destination/names.h"
#include "platform/process/process.h"

namespace vaultcat {

namespace {

// The stored names of the items on the way to the one visited, by depth,
// for the rare line that names a path: a path is made only for it, and not
// for every item as the tree command's plan makes them. Checking the files
// of a million-item cache took 1.3 times as long with the plan's paths.
class NamesOnTheWay {
 public:
  void enter(uint64_t depth, std::string_view stored) {
    names_.resize(depth);
    names_.push_back(stored);
  }
  // The path the tree command writes at: the first `parts` names as this
  // system spells them, joined by '/'.
  std::string path(uint64_t parts) const {
    std::string path;
    for (uint64_t i = 0; i < parts && i < names_.size(); ++i) {
      if (i > 0) path += '/';
      path += platform::Spelling(names_[i]).text();
    }
    return path;
  }

 private:
  std::vector<std::string_view> names_;
};

class Check {
 public:
  Check(const CacheArchive& archive, TextOutput& out, Progress& progress)
      : archive_(archive), checker_(archive), out_(out), progress_(progress) {}

  // Checks the item at the end of `trail`, and everything below it. False
  // in `stopped` if the run must stop before the end.
  Status run(const std::vector<uint32_t>& trail, bool& stopped) {
    progress_.begin("Checking", 0, 0);
    for (const uint32_t index : trail) names_.enter(depth_++, *archive_.itemName(index));
    const uint32_t top = trail.empty() ? kRootItem : trail.back();
    if (!archive_.directoryEntry(top)->isFolder()) {
      file(top, depth_);
      return {};
    }
    return walkDirectory(
        archive_, top,
        [&](const WalkedItem& item) {
          names_.enter(depth_ + item.depth, item.name);
          if (!item.folder) file(item.index, depth_ + item.depth + 1);
          return !(stopped = platform::mustStop());
        },
        [&](uint64_t depth, const Status& damage) {
          shortfall_.folder(names_.path(depth_ + depth), damage, out_);
          return true;
        });
  }

  // "Checked 3 files, 5000 bytes: ..."; whether all were whole.
  bool summary() {
    out_.print("Checked ", files_, plural(files_, " file"), ", ", bytes_, plural(bytes_, " byte"),
               ": ");
    if (shortfall_.none()) {
      out_.put("all whole.\n");
      return true;
    }
    out_.print(shortfall_.counts(), ".\n");
    return false;
  }

 private:
  void file(uint32_t index, uint64_t pathParts) {
    const FileState state = checker_.check(index);
    ++files_;
    bytes_ += state.recordedSize;
    if (!state.whole()) shortfall_.file(names_.path(pathParts), state, out_);
    // Only a status line shows the path, which is made for it alone.
    if (progress_.drawsSoon()) progress_.at(names_.path(pathParts));
    progress_.done(1, state.recordedSize);
  }

  const CacheArchive& archive_;
  FileChecker checker_;
  TextOutput& out_;
  Progress& progress_;
  NamesOnTheWay names_;
  uint64_t depth_ = 0;  // of what lies below the folder checked
  Shortfall shortfall_;
  uint64_t files_ = 0, bytes_ = 0;
};

}  // namespace

int checkCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                 TextOutput& out) {
  const std::optional<std::string> archivePath = cacheArgument(line.words, out);
  if (!archivePath) return kFailure;
  if (line.words.size() > 3) {
    out.print("Unexpected argument: ", Name{line.words[3]}, " (t takes gcf_file and one folder)\n");
    return kFailure;
  }
  // Names never reach the output with their control characters, in a pipe
  // either.
  out.escapeNames();
  if (!openArchive(archive, *archivePath, out, CacheArchive::Extent::kMayBeCut)) return kFailure;
  Progress progress(out, Progress::chosen(line.options));
  if (!progress.quiet()) introduce(archive, *archivePath, titles, out);
  sayIfCut(archive, out);
  const std::optional<std::vector<uint32_t>> trail =
      findFolder(archive, line.words.size() > 2 ? line.words[2] : "/", out);
  if (!trail) return kFailure;
  Check check(archive, out, progress);
  bool stopped = false;
  Status status = check.run(*trail, stopped);
  if (stopped) return kFailure;
  if (status.ok()) status = archive.checkUnchanged();
  if (!status.ok()) {
    printDamage(status.damage, out);
    return kFailure;
  }
  return check.summary() ? kSuccess : kNotAllWhole;
}

}  // namespace vaultcat
