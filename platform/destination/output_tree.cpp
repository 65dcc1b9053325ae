// The tree output, on every system. The staging folder (staging.h) holds
// the new tree, the replaced files moved aside and the journal; commit()
// moves each item in as placement.h says, each folder of the destination
// reached by a walk (folder_walk.h), and the journal lets this run or the
// next take the moves back.
#include "platform/destination/output_tree.h"

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/destination/folder_walk.h"
#include "platform/destination/journal.h"
#include "platform/destination/staging.h"
#include "platform/process/pending_output.h"
#include "platform/process/process.h"

namespace vaultcat::platform {

namespace {

// How long a run waits for another that extracts into the same destination
// before it refuses: long enough for a run that is about to end.
constexpr std::chrono::seconds kLockWait{2};

// `path` cut before its last part: the folder ("" for the top) and the name.
std::pair<std::string_view, std::string_view> folderAndName(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {{}, path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

struct OutputTree::State final : PendingOutput {
  enum class Kind : uint8_t { kFolder, kFile, kReplacement, kKept };
  // One move of commit(): the item named `name` (an offset into `names`)
  // in the folder `folder` (an index into `folders`), and for a
  // replacement, what tells the file seen there when its own was written;
  // or a file kept as it is, which the commit only checks, and what tells
  // it unchanged. A million steps take some 40 MB this way.
  struct Step {
    uint64_t device, inode;
    int64_t born;  // for a file kept, its change time instead
    uint32_t type;
    uint32_t folder;
    uint32_t name;
    Kind kind;
    FileIdentity replaced() const {
      FileIdentity identity;
      identity.device = device;
      identity.inode = inode;
      identity.born = born;
      identity.type = type;
      return identity;
    }
    // Whether `there` is the file kept, unchanged: a write, a truncation
    // or a change of its metadata since it was compared moves its change
    // time.
    bool keeps(const FileIdentity& there) const {
      return there.device == device && there.inode == inode && there.type == type &&
             there.changed == born;
    }
  };

  State(const SourceFile& source, Problem& problemOfTheTree)
      : protectedFiles(platform::protectedFiles(source)),
        problem(problemOfTheTree),
        writer(source),
        existing(source) {}

  bool open(const std::string& path, std::vector<Recovered>& recovered);
  bool clearLeftovers(const Folder& in, std::string_view name, const std::string& shownIn,
                      std::vector<Recovered>& recovered);
  bool makeStaging();
  bool record(const std::string& path, Kind kind, const FileIdentity& placed,
              const FileIdentity* replaced);
  bool fail(Failure failure, std::string path) {
    problem = {failure, std::move(path)};
    return false;
  }
  bool failHere(const std::string& path) { return fail(Failure::ofSystem(), path); }
  // A write to the file being written that failed.
  WriteStatus written(WriteStatus status) {
    if (!status.ok()) failHere(current);
    return status;
  }
  // The folders of a step on both sides: reached once for each run of
  // steps in one folder.
  bool reach(uint32_t folder, bool backups);
  bool moveIn();
  // Whether the file kept by `step` is still at its place, unchanged.
  bool stillKept(const Step& step);
  bool syncReplacements(bool afterMoves);
  // An interrupt's, a fault's or discard()'s way out: takeBack(), then
  // cleanUp(), which keeps the staging folder where it holds the user's
  // files.
  void undo() override { undoAll(); }
  bool undoAll() {
    const bool whole = takeBack();
    cleanUp(whole);
    return whole;
  }
  // Takes back what commit() moved, as the journal says; false if some of
  // it cannot be.
  bool takeBack();
  // Lets go: the file being written, the journal, the folders, and (if
  // `remove`) the staging folder with all it holds; the output is no
  // longer pending.
  void cleanUp(bool remove);
  std::string pathOf(const Step& step) const {
    const std::string& folder = folders[step.folder];
    return folder + (folder.empty() ? "" : "/") + (names.c_str() + step.name);
  }
  std::string stagingPath() const {
    return shownHome + (shownHome.empty() || shownHome.back() == '/' ? "" : "/") + staging;
  }

  const std::vector<FileIdentity> protectedFiles;
  Problem& problem;
  // What a new file gets; what files to be replaced have otherwise.
  const Metadata newFile = newFileMetadata();
  Folder destination;           // where it exists
  Folder parent;                // the folder it is in
  std::string destinationName;  // its name there
  std::string shownHome;        // where the staging folder is, as the user gave it
  Folder* home = nullptr;       // where the staging folder is: one of the two
  std::string staging;          // the staging folder's name there; empty until made
  Folder stagingFolder, tree, old;
  Journal journal;
  FolderWalk destinationWalk{destination}, treeWalk{tree}, oldWalk{old};
  const Folder *target = nullptr, *temporary = nullptr, *aside = nullptr;
  std::vector<Step> steps;
  std::vector<std::string> folders;  // from the tree's top, "" for the top itself
  std::string names;                 // each ended by a NUL
  uint64_t replacementsSeen = 0;     // by inspect(), before anything is written
  uint64_t replacements = 0;
  std::string current;     // the file being written
  bool replacing = false;  // and whether it replaces one
  bool committed = false;  // moves may have been made
  PieceWriter writer;      // the file being written
  ExistingFile existing;   // or the file being compared
  bool comparing = false;
};

// The destination, locked for this run, and what killed runs left in it
// and beside it cleared away; a tree they moved in as the destination may
// go with it.
bool OutputTree::State::open(const std::string& path, std::vector<Recovered>& recovered) {
  const std::optional<FolderAndName> split = splitPath(path);
  const bool hasParent = split && parent.open(split->folder) == Folder::Opened::kOpened;
  if (split) destinationName = split->name;
  for (int attempt = 0; attempt < 2; ++attempt) {
    switch (destination.open(path)) {
      case Folder::Opened::kOpened:
        switch (destination.lock(kLockWait)) {
          case Folder::Locked::kLocked:
            break;
          case Folder::Locked::kBusy:
            return fail({Failure::Kind::kBusy}, path);
          case Folder::Locked::kFailed:
            return failHere(path);
        }
        if (!clearLeftovers(destination, "", path, recovered)) return false;
        break;
      case Folder::Opened::kMissing:
        break;
      case Folder::Opened::kFailed:
        return failHere(path);
    }
    if (!hasParent) break;
    const size_t before = recovered.size();
    if (!clearLeftovers(parent, destinationName, split->folder, recovered)) return false;
    bool tookBackTheTree = false;
    for (size_t i = before; i < recovered.size(); ++i) tookBackTheTree |= recovered[i].tookBack;
    if (!tookBackTheTree) break;
    destination.close();
  }
  if (destination.isOpen()) {
    home = &destination;
    shownHome = path;
  } else if (hasParent) {
    home = &parent;
    shownHome = split->folder == "." ? "" : split->folder;
  } else {
    return failHere(path);
  }
  return true;
}

bool OutputTree::State::clearLeftovers(const Folder& in, std::string_view name,
                                       const std::string& shownIn,
                                       std::vector<Recovered>& recovered) {
  std::vector<staging::Cleared> cleared;
  std::string kept;
  const bool whole = staging::clearLeftovers(in, name, cleared, kept);
  const std::string prefix =
      shownIn == "." ? "" : shownIn + (shownIn.empty() || shownIn.back() == '/' ? "" : "/");
  for (const staging::Cleared& one : cleared)
    recovered.push_back({prefix + one.name, one.tookBack});
  return whole || fail({Failure::Kind::kCannotTakeBack}, prefix + kept);
}

bool OutputTree::State::makeStaging() {
  if (!staging.empty()) return tree.isOpen();
  staging = staging::newName(destination.isOpen() ? "" : destinationName);
  setPendingOutput(this);
  if (!makeFolder({*home, staging.c_str()}, 0700)) {
    staging.clear();
    setPendingOutput(nullptr);
    return failHere(destinationName);
  }
  // The tree takes the destination's place where there is none: a folder
  // made as the user's folders are. It is locked as the destination would
  // be, so that none other extracts into it once it is in place.
  const bool made = stagingFolder.openIn(*home, staging) &&
                    stagingFolder.lock(std::chrono::milliseconds(0)) == Folder::Locked::kLocked &&
                    journal.create({stagingFolder, staging::kJournal}) &&
                    makeFolder({stagingFolder, staging::kTree}, 0777) &&
                    tree.openIn(stagingFolder, staging::kTree) &&
                    (destination.isOpen() ||
                     tree.lock(std::chrono::milliseconds(0)) == Folder::Locked::kLocked) &&
                    makeFolder({stagingFolder, staging::kOld}, 0700) &&
                    old.openIn(stagingFolder, staging::kOld);
  if (!made) return failHere(destinationName);
  return interruption() == 0;
}

bool OutputTree::State::record(const std::string& path, Kind kind, const FileIdentity& placed,
                               const FileIdentity* replaced) {
  const auto [folder, name] = folderAndName(path);
  // The files of one folder come one after another, so a folder is kept
  // once for each run of them.
  if (folders.empty() || folders.back() != folder) {
    folders.emplace_back(folder);
    journal.noteFolder(folder);
  }
  if (names.size() > UINT32_MAX || folders.size() > UINT32_MAX)
    return fail({Failure::Kind::kTooLong}, path);
  const FileIdentity seen = replaced ? *replaced : FileIdentity();
  steps.push_back({seen.device, seen.inode, kind == Kind::kKept ? seen.changed : seen.born,
                   seen.type, static_cast<uint32_t>(folders.size() - 1),
                   static_cast<uint32_t>(names.size()), kind});
  names.append(name).push_back('\0');
  // Nothing moves a file kept: there is nothing to take back.
  if (kind != Kind::kKept) journal.noteStep(name, placed, replaced);
  if (kind == Kind::kReplacement) ++replacements;
  return true;
}

bool OutputTree::State::reach(uint32_t folder, bool backups) {
  Failure failure;
  const std::string& path = folders[folder];
  target = destinationWalk.reach(path, failure);
  temporary = target ? treeWalk.reach(path, failure) : nullptr;
  aside = temporary && backups ? oldWalk.reach(path, failure) : temporary;
  return aside != nullptr || fail(failure, path);
}

bool OutputTree::State::moveIn() {
  uint32_t reached = UINT32_MAX;
  for (const Step& step : steps) {
    if (step.folder != reached && !reach(reached = step.folder, true)) return false;
    if (step.kind == Kind::kKept) {
      if (!stillKept(step)) return false;
      continue;
    }
    const char* name = names.c_str() + step.name;
    const At from{*temporary, name}, to{*target, name};
    Failure failure;
    const FileIdentity replaced = step.replaced();
    const Placement placement =
        step.kind == Kind::kFolder
            ? putFolderInPlace(from, to, failure)
            : putInPlace(from, to, step.kind == Kind::kReplacement ? &replaced : nullptr,
                         {*aside, name}, failure);
    if (placement == Placement::kNone) return fail(failure, pathOf(step));
    if (interruption() != 0) return fail({Failure::Kind::kInterrupted}, "");
  }
  return true;
}

bool OutputTree::State::stillKept(const Step& step) {
  FileIdentity there;
  if (!identifyAt({*target, names.c_str() + step.name}, there) || !step.keeps(there))
    return fail({Failure::Kind::kChanged}, pathOf(step));
  return true;
}

// The new files are on disk before the first of the user's is replaced,
// and the folders after the moves, before the run says it is complete: a
// power cut then leaves the old file or the new, never an empty one. A run
// that replaces nothing does not wait for the disk.
bool OutputTree::State::syncReplacements(bool afterMoves) {
  if (replacements == 0) return true;
  bool synced = true;
  if (replacements > kMostFilesSyncedOneByOne) {
    synced = syncFileSystem(destination);
  } else if (afterMoves) {
    uint32_t reached = UINT32_MAX;
    for (const Step& step : steps) {
      if (step.kind != Kind::kReplacement || step.folder == reached) continue;
      synced = reach(reached = step.folder, false) && syncFolder(*target) && synced;
    }
  } else {
    // Each file was synced as it was written: the journal comes first.
    synced = journal.sync();
  }
  return synced || failHere("");
}

bool OutputTree::State::takeBack() {
  if (!committed) return true;
  writer.abandon();
  // A complete run said so in its journal: it is being taken back now.
  journal.mark(Journal::Mark::kUndoing);
  destinationWalk.release();
  treeWalk.release();
  oldWalk.release();
  // Windows moves no folder held open.
  tree.allowMoving();
  const std::optional<Journal::Contents> contents =
      Journal::read({stagingFolder, staging::kJournal});
  const bool whole = contents && staging::takeBack(*contents, stagingFolder,
                                                   destination.isOpen() ? destination : parent);
  if (!whole) fail({Failure::Kind::kCannotTakeBack}, stagingPath());
  committed = !whole;
  return whole;
}

void OutputTree::State::cleanUp(bool remove) {
  writer.abandon();
  existing.close();
  comparing = false;
  if (remove && !staging.empty()) removeFile({stagingFolder, staging::kJournal});
  journal.close();
  destinationWalk.release();
  treeWalk.release();
  oldWalk.release();
  for (Folder* folder : {&tree, &old, &stagingFolder}) folder->close();
  if (remove && !staging.empty()) removeTree({*home, staging.c_str()});
  staging.clear();
  steps.clear();
  folders.clear();
  names.clear();
  committed = false;
  if (pendingOutput() == this) setPendingOutput(nullptr);
}

OutputTree::OutputTree() = default;
OutputTree::~OutputTree() { discard(); }

bool OutputTree::begin(const std::string& destination, const SourceFile& source) {
  discard();
  recovered_.clear();
  problem_ = {};
  if (pendingOutput() != nullptr || destination.empty()) return false;  // one output at a time
  auto state = std::make_unique<State>(source, problem_);
  if (!state->open(destination, recovered_)) return false;
  destinationExists_ = state->destination.isOpen();
  state_ = std::move(state);
  return true;
}

uint64_t OutputTree::longestPath() const {
  const State& s = *state_;
  const uint64_t longest = longestPathUnder(*s.home);
  // The tree is staged beside a new destination, under a longer name.
  const uint64_t staged = s.destination.isOpen() ? 0 : s.destinationName.size() + 1;
  return longest > staged ? longest - staged : 0;
}

OutputTree::Found OutputTree::inspect(const std::string& path) {
  State& s = *state_;
  if (!s.destination.isOpen()) return Found::kNothing;
  const auto [folder, name] = folderAndName(path);
  Failure failure;
  const Folder* in = s.destinationWalk.reach(folder, failure);
  if (in == nullptr) return Found::kOther;
  Seen seen;
  const Found found = platform::inspect({*in, std::string(name).c_str()}, s.protectedFiles, seen);
  if (found == Found::kFolder) s.destinationWalk.expect(path, seen.identity);
  if (found == Found::kFile) ++s.replacementsSeen;
  return found;
}

bool OutputTree::addFolder(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging()) return false;
  if (!makeFolder({s.tree, path.c_str()}, 0777)) return s.failHere(path);
  // A file replaced in it is moved aside to the same path.
  if (place == Place::kExisting && !makeFolder({s.old, path.c_str()}, 0700))
    return s.failHere(path);
  FileIdentity placed;
  if (place != Place::kNew) return true;
  return (identifyAt({s.tree, path.c_str()}, placed) || s.failHere(path)) &&
         s.record(path, State::Kind::kFolder, placed, nullptr);
}

bool OutputTree::beginFile(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging()) return false;
  bool taken = false;
  const std::intptr_t file = createFile({s.tree, path.c_str()}, taken);
  if (file == -1) return s.failHere(path);
  s.writer.open(file);
  s.current = path;
  s.replacing = false;
  if (place == Place::kInNewFolder) return true;
  FileIdentity placed;
  if (!identifyOpenFile(file, placed)) return s.failHere(path);
  if (place == Place::kNew) return s.record(path, State::Kind::kFile, placed, nullptr);
  // What is there now is what the commit must find: a file this run may
  // replace, whose owner and mode the new one takes.
  const auto [folder, name] = folderAndName(path);
  Failure failure;
  const Folder* in = s.destinationWalk.reach(folder, failure);
  Seen seen;
  if (in == nullptr) return s.fail(failure, path);
  if (platform::inspect({*in, std::string(name).c_str()}, s.protectedFiles, seen) != Found::kFile)
    return s.fail({Failure::Kind::kChanged}, path);
  if (seen.metadata != s.newFile) keepMetadata(file, seen.metadata);
  s.replacing = true;
  return s.record(path, State::Kind::kReplacement, placed, &seen.identity);
}

WriteStatus OutputTree::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  State& s = *state_;
  if (s.comparing)
    return {s.existing.compare(offset, pieces) ? WriteStatus::Kind::kOk
                                               : WriteStatus::Kind::kSourceUnreadable};
  return s.written(s.writer.writeAt(offset, pieces));
}

WriteStatus OutputTree::flush() {
  State& s = *state_;
  return s.comparing ? WriteStatus{} : s.written(s.writer.flush());
}

bool OutputTree::endFile() {
  State& s = *state_;
  // Few replacements are synced one by one, as each is written.
  if (s.replacing && s.replacementsSeen <= kMostFilesSyncedOneByOne &&
      (!s.written(s.writer.flush()).ok() || !syncFile(s.writer.file()))) {
    s.failHere(s.current);
    s.writer.abandon();
    return false;
  }
  return s.writer.close() || s.failHere(s.current);
}

bool OutputTree::beginComparison(const std::string& path, uint64_t size) {
  State& s = *state_;
  if (!s.makeStaging()) return false;
  const auto [folder, name] = folderAndName(path);
  Failure failure;
  const Folder* in = s.destinationWalk.reach(folder, failure);
  Seen seen;
  const std::string named(name);
  // Only a file this run may replace is compared: what it may not replace
  // is never read either; nor one of another length, which differs.
  if (in == nullptr ||
      platform::inspect({*in, named.c_str()}, s.protectedFiles, seen) != Found::kFile ||
      seen.identity.size != size || !s.existing.open({*in, named.c_str()}, seen.identity))
    return false;
  s.current = path;
  s.comparing = true;
  return true;
}

OutputTree::Compared OutputTree::endComparison() {
  State& s = *state_;
  s.comparing = false;
  const FileIdentity seen = s.existing.identity();
  if (!s.existing.close()) return Compared::kDiffers;
  return s.record(s.current, State::Kind::kKept, seen, &seen) ? Compared::kSame : Compared::kFailed;
}

bool OutputTree::commit() {
  State& s = *state_;
  if (!s.makeStaging() || s.writer.isOpen() || interruption() != 0) return false;
  if (!s.destination.isOpen()) {
    FileIdentity placed;
    if (!s.tree.identify(placed)) return s.failHere("");
    s.journal.noteRoot(s.destinationName, placed);
    if (!s.journal.mark(Journal::Mark::kCommitting)) return s.failHere("");
    s.committed = true;
    s.tree.allowMoving();
    Failure failure;
    if (putFolderInPlace({s.stagingFolder, staging::kTree}, {s.parent, s.destinationName.c_str()},
                         failure) == Placement::kNone)
      return s.fail(failure, "");
  } else {
    // Every folder is reached afresh, and checked to be the one the check
    // found there.
    s.destinationWalk.release();
    if (!s.journal.mark(Journal::Mark::kCommitting)) return s.failHere("");
    s.committed = true;
    if (!s.syncReplacements(false) || !s.moveIn() || !s.syncReplacements(true)) return false;
  }
  return (s.journal.mark(Journal::Mark::kComplete) && (s.replacements == 0 || s.journal.sync())) ||
         s.failHere("");
}

// What was replaced is in the staging folder now, which goes.
void OutputTree::keep() {
  if (state_ != nullptr) state_->cleanUp(true);
  state_.reset();
}

bool OutputTree::discard() {
  const bool whole = state_ == nullptr || state_->undoAll();
  state_.reset();
  return whole;
}

}  // namespace vaultcat::platform
