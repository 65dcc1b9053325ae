// The tree command: `a gcf_file item... dir`, folders or files of the
// cache with everything in them, written under a destination at their full
// paths from the cache's root, all or nothing; with --salvage, every file
// the cache holds whole, and the others named; with --partial too, what
// it holds of an incomplete file.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/extraction_writer.h"
#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "front_end/command_steps.h"
#include "front_end/commands.h"
#include "front_end/output_sink.h"
#include "front_end/progress.h"
#include "front_end/tree_plan.h"
#include "platform/destination/output_tree.h"
#include "platform/process/process.h"

namespace vaultcat {

namespace {

// What the tree output finds on the disk, for the plan.
class OnDisk final : public Destination {
 public:
  explicit OnDisk(platform::OutputTree& tree) : tree_(tree) {}
  bool exists() const override { return tree_.destinationExists(); }
  Found inspect(const std::string& path) override { return tree_.inspect(path); }
  uint64_t longestPath() const override { return tree_.longestPath(); }

 private:
  platform::OutputTree& tree_;
};

// Why the plan refused an item.
std::string refusalText(TreePlan::Refusal refusal, uint64_t longestPath) {
  using Refusal = TreePlan::Refusal;
  switch (refusal) {
    case Refusal::kUnsafeName:
      return "not a name that can be written safely";
    case Refusal::kOwnName:
      return "vaultcat keeps names of this shape for its own hidden folders";
    case Refusal::kSameName:
      return "another item in its folder has the same name";
    case Refusal::kNameTooLong:
      return "its name is longer than this system takes";
    case Refusal::kTooLong:
      return "its path is longer than the " + std::to_string(longestPath) +
             " bytes this system takes";
    case Refusal::kFolderThere:
      return "a folder is in its place";
    case Refusal::kFileThere:
      return "a file is in its place";
    case Refusal::kOtherThere:
      return "a link, a device or a file that may not be replaced is in its place";
    case Refusal::kNone:
      break;
  }
  return {};
}

class TreeExtraction {
 public:
  TreeExtraction(const CacheArchive& archive, TextOutput& out, Progress& progress,
                 const std::vector<std::vector<uint32_t>>& trails, bool salvage, bool partial)
      : archive_(archive),
        out_(out),
        progress_(progress),
        salvage_(salvage),
        partial_(partial),
        onDisk_(tree_),
        plan_(archive, trails, onDisk_) {}

  // Runs the extraction; what fails is taken back.
  int run(const std::string& destination);

 private:
  int attempt(const std::string& destination);
  // Begins the tree output, saying what it took back of an interrupted
  // run, or why it cannot begin.
  bool begin(const std::string& destination);
  // Why the tree output failed.
  std::string why() const { return failureText(tree_.problem().failure); }
  bool check();
  // Whether the item can be written where the plan puts it; in a salvage,
  // an item whose name or path the system cannot take is left out, named.
  bool checkPlace(const PlannedItem& item);
  bool write();
  bool writeFile(const PlannedItem& item, FileChecker& checker);
  // Whether the file is written in part: incomplete, in a run that asked
  // for parts, and something of it in the cache.
  bool inPart(const FileState& state) const {
    return partial_ && state.kind == FileState::Kind::kIncomplete && state.heldBytes > 0;
  }
  bool writePart(const PlannedItem& item, const FileState& state,
                 std::span<const FileExtent> extents);
  // Compares the file already at the item's path with the cache's bytes,
  // as its map gives them: nothing if it holds exactly them, and is left
  // as it is; else true to write it, or false for a run that ends.
  std::optional<bool> differs(const PlannedItem& item, const FileState& state,
                              std::span<const FileExtent> extents);
  // Names what the cache does not hold whole: it is left out of a salvage,
  // and ends any other run.
  bool leaveOut(const PlannedItem& item, const FileState& state) {
    shortfall_.file(item.path, state, out_);
    if (salvage_) plan_.leaveOut(item.index);
    return salvage_ || nothingExtracted();
  }
  bool leaveOutFolder(const std::string& path, const Status& damage) {
    shortfall_.folder(path, damage, out_);
    folderNamed_ = true;
    return salvage_ || nothingExtracted();
  }
  bool nothingExtracted() {
    out_.put("Nothing was extracted; add --salvage to extract every file the cache holds whole.\n");
    return false;
  }
  // Says why the run ends: the cache changed, which explains any failure,
  // or is damaged, or the output at `path` could not be written.
  bool failed(Status status, std::string_view path) {
    if (Status cache = archive_.checkUnchanged(); !cache.ok()) status = cache;
    if (!status.damage.empty()) printDamage(status.damage, out_);
    if (status.kind == Status::Kind::kOutputFailed) cannotWrite(path, out_, why());
    return false;
  }
  // Ends a pass over the plan: true once every item is done. Otherwise the
  // visit has said why it stopped, or the plan met damage, said here
  // unless the line of the folder it stopped at has.
  bool finished(bool done) {
    if (!done && !plan_.damage().ok() && !(folderNamed_ && !salvage_))
      return failed(plan_.damage(), "");
    return done;
  }

  const CacheArchive& archive_;
  TextOutput& out_;
  Progress& progress_;
  const bool salvage_;
  const bool partial_;
  platform::OutputTree tree_;
  OnDisk onDisk_;
  TreePlan plan_;
  Shortfall shortfall_;
  bool folderNamed_ = false;
  TablePaging paging_{archive_};
  uint64_t files_ = 0, folders_ = 0, bytes_ = 0, unchanged_ = 0;
  uint64_t filesToWrite_ = 0, bytesToWrite_ = 0;
};

// Before anything is written: every file is whole, as far as the tables
// tell, and every item can be written, as the plan checks it. A file that
// is not whole is not looked for on the disk, since it will not be written.
bool TreeExtraction::check() {
  FileChecker checker(archive_);
  progress_.begin("Checking", 0, 0);
  return finished(plan_.forEach(
      [&](const PlannedItem& item) {
        paging_.itemRead();
        if (platform::mustStop()) return false;
        if (!item.folder) {
          progress_.at(item.path);
          const FileState state = checker.check(item.index);
          if (!state.whole() && !inPart(state)) return leaveOut(item, state);
          ++filesToWrite_;
          bytesToWrite_ += state.heldBytes;
          progress_.done(1, state.recordedSize);
        }
        return checkPlace(item);
      },
      [&](const std::string& path, const Status& damage) { return leaveOutFolder(path, damage); }));
}

bool TreeExtraction::checkPlace(const PlannedItem& item) {
  if (plan_.check(item)) return true;
  const std::string why = refusalText(plan_.refusal(), tree_.longestPath());
  if (!salvage_ || !plan_.refusedName()) return cannotCreate(item.path, out_, why);
  shortfall_.unwritable(item.path, item.folder, why, out_);
  plan_.leaveOut(item.index);
  return true;
}

bool TreeExtraction::write() {
  FileChecker checker(archive_);
  paging_.forgetNow();
  // A salvage goes past what it has named already.
  const auto pastDamage = [](const std::string&, const Status&) { return true; };
  progress_.begin("Writing", filesToWrite_, bytesToWrite_);
  return finished(plan_.forEach(
      [&](const PlannedItem& item) {
        paging_.itemRead();
        // An interrupt, or a reader gone away, ends the run once the
        // destination is as it was.
        if (platform::mustStop()) return false;
        if (!item.folder) return writeFile(item, checker);
        ++folders_;
        return tree_.addFolder(item.path, item.place) || cannotCreate(item.path, out_, why());
      },
      salvage_ ? TreePlan::DamagedFolder(pastDamage) : TreePlan::DamagedFolder()));
}

std::optional<bool> TreeExtraction::differs(const PlannedItem& item, const FileState& state,
                                            std::span<const FileExtent> extents) {
  if (item.place != platform::OutputTree::Place::kExisting) return true;
  if (!tree_.beginComparison(item.path, state.recordedSize)) return true;
  OutputSink<platform::OutputTree> sink(tree_);
  const Status compared = writeExtents(extents, sink);
  const platform::OutputTree::Compared same = tree_.endComparison();
  if (!compared.ok()) return failed(compared, item.path);
  if (same == platform::OutputTree::Compared::kFailed)
    return failed({Status::Kind::kOutputFailed, {}}, item.path);
  if (same == platform::OutputTree::Compared::kDiffers) return true;
  progress_.done(1, sink.size());
  ++unchanged_;
  return std::nullopt;
}

bool TreeExtraction::writeFile(const PlannedItem& item, FileChecker& checker) {
  progress_.at(item.path);
  // Mapped again as the check mapped it: the files left out are not, so
  // no file written finds an entry or block owned that it did not then.
  const FileState state = checker.check(item.index);
  if (inPart(state)) return writePart(item, state, checker.extents());
  if (!state.whole())
    return failed(state.damage.ok() ? damage_text::cacheChanged() : state.damage, item.path);
  const std::optional<bool> write = differs(item, state, checker.extents());
  if (!write) return true;
  if (!*write) return false;
  if (!tree_.beginFile(item.path, item.place)) return cannotCreate(item.path, out_, why());
  OutputSink<platform::OutputTree> sink(tree_, &progress_);
  if (const Status written = writeExtents(checker.extents(), sink); !written.ok())
    return failed(written, item.path);
  if (!tree_.endFile()) {
    return failed({Status::Kind::kOutputFailed, {}}, item.path);
  }
  progress_.done(1, 0);
  if (progress_.fileLines())
    out_.print("Writing ", Name{item.path}, " (", sink.size(), plural(sink.size(), " byte"), ")\n");
  bytes_ += sink.size();
  ++files_;
  return true;
}

// Where nothing is at its place, the part is written with holes. A file of
// its length there is compared with it: one that holds every byte it has,
// an earlier whole file or a part that holds more, is left as it is; one
// that lacks some of them where it reads zeros, an earlier part, is joined
// to it in a part that holds more; any other file is left as it is, and
// the part is not written.
bool TreeExtraction::writePart(const PlannedItem& item, const FileState& state,
                               std::span<const FileExtent> extents) {
  using Compared = platform::OutputTree::Compared;
  const bool there = item.place == platform::OutputTree::Place::kExisting;
  Compared found = Compared::kDiffers;
  if (there && tree_.beginComparison(item.path, state.recordedSize)) {
    OutputSink<platform::OutputTree> compared(tree_);
    const Status read = writeExtents(extents, compared);
    found = tree_.endComparison();
    if (!read.ok()) return failed(read, item.path);
  }
  if (found == Compared::kFailed) return failed({Status::Kind::kOutputFailed, {}}, item.path);
  if (there && found != Compared::kFillable) {
    shortfall_.partKept(item.path, state, found == Compared::kHoldsThem, out_);
    progress_.done(1, state.heldBytes);
    return true;
  }
  if (!tree_.beginPart(item.path, item.place, state.recordedSize, there))
    return cannotCreate(item.path, out_, why());
  OutputSink<platform::OutputTree> sink(tree_, &progress_);
  if (const Status written = writeExtents(extents, sink); !written.ok())
    return failed(written, item.path);
  if (!tree_.endFile()) return failed({Status::Kind::kOutputFailed, {}}, item.path);
  progress_.done(1, 0);
  shortfall_.part(item.path, state, there, out_);
  return true;
}

int TreeExtraction::run(const std::string& destination) {
  const int status = attempt(destination);
  if (status != kSuccess && !tree_.discard())
    out_.print("Couldn't take this run back: the files it replaced are kept in ",
               Name{tree_.problem().path}, "\n");
  return status;
}

bool TreeExtraction::begin(const std::string& destination) {
  const bool begun = tree_.begin(destination, archive_.source());
  for (const platform::OutputTree::Recovered& left : tree_.recovered()) {
    if (!left.ours) {
      out_.print(Name{left.staging}, " looks like a leftover of another program: left as it is\n");
    } else if (left.tookBack) {
      out_.print("Took back the files an interrupted run had moved into ", Name{destination}, "\n");
    } else {
      out_.print("Removed what an interrupted run left in ", Name{left.staging}, "\n");
    }
  }
  if (!begun) {
    const platform::OutputTree::Problem& problem = tree_.problem();
    using Kind = platform::Failure::Kind;
    if (problem.failure.kind == Kind::kBusy) {
      out_.print("Another run is extracting into ", Name{destination},
                 ": try again once it has finished\n");
    } else if (problem.failure.kind == Kind::kCannotTakeBack) {
      out_.print("Couldn't take back an interrupted run into ", Name{destination},
                 ": the files it replaced are kept in ", Name{problem.path}, "\n");
    } else {
      cannotCreate(destination, out_, why());
    }
  }
  return begun;
}

int TreeExtraction::attempt(const std::string& destination) {
  if (!begin(destination) || !check() || !write()) return kFailure;
  if (Status cache = archive_.checkUnchanged(); !cache.ok()) {
    printDamage(cache.damage, out_);
    return kFailure;
  }
  if (!out_.flush()) return kFailure;
  if (!tree_.commit()) {
    const std::string& item = tree_.problem().path;
    cannotWrite(item.empty() ? destination : item, out_, why());
    return kFailure;
  }
  // The summary (and "Success!") reaches the user and the tree stays, or
  // neither.
  platform::holdInterruptsToTheEnd();
  out_.print("Extracted ", files_, plural(files_, " file"), " and ", folders_,
             plural(folders_, " folder"), " (", bytes_, plural(bytes_, " byte"), ")");
  if (unchanged_ != 0) out_.print(", ", unchanged_, plural(unchanged_, " file"), " unchanged");
  if (shortfall_.none()) {
    out_.put("\nSuccess!\n");
  } else {
    out_.print("; ", shortfall_.outcome(), ".\n");
  }
  if (!out_.flush()) return kFailure;
  tree_.keep();
  return shortfall_.none() ? kSuccess : kNotAllWhole;
}

}  // namespace

int treeCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable& titles,
                TextOutput& out) {
  const std::optional<ItemArguments> given =
      itemArguments(line.words, "a folder to extract", true, out);
  if (!given) return kFailure;
  // Names never reach the output with their control characters, in a pipe
  // either: a name holding a line break could print a line of its own, even
  // one that reads "Success!".
  out.escapeNames();
  if (!openArchive(archive, given->archivePath, out, CacheArchive::Extent::kMayBeCut))
    return kFailure;
  Progress progress(out, Progress::chosen(line.options));
  if (!progress.quiet()) introduce(archive, given->archivePath, titles, out);
  sayIfCut(archive, out);
  std::vector<std::vector<uint32_t>> trails;
  for (const std::string_view item : given->itemPaths) {
    std::optional<std::vector<uint32_t>> trail = findFolder(archive, item, out);
    if (!trail) return kFailure;
    trails.push_back(std::move(*trail));
  }
  const int status =
      TreeExtraction(archive, out, progress, trails, line.options.salvage, line.options.partial)
          .run(given->destination);
  return sayIfOutputLost(status, out);
}

}  // namespace vaultcat
