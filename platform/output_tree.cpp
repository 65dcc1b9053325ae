// The tree output, on every system. The staging folder holds the new tree
// in "t" and, where a file system cannot swap two names, the replaced files
// in "o"; commit() moves each item in as placement.h says, keeping a
// journal to take the moves back.
#include "platform/output_tree.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/folder.h"
#include "platform/pending_output.h"
#include "platform/process.h"
#include "platform/temporary_name.h"

namespace vaultcat::platform {

struct OutputTree::State final : PendingOutput {
  enum class Kind : uint8_t { kFolder, kFile, kReplacement };
  // One move of commit(): the item named `name` (an offset into `names`)
  // in the folder `folder` (an index into `folders`). A million steps take
  // some 25 MB this way, where whole paths took 40.
  struct Step {
    uint32_t folder;
    uint32_t name;
    Kind kind;
    Placement placement = Placement::kNone;
  };

  explicit State(const SourceFile& source)
      : protectedFiles(platform::protectedFiles(source)), writer(source) {}

  bool begin(const std::string& path);
  bool makeStaging();
  bool record(const std::string& path, Kind kind);
  // An interrupt's, a fault's or discard()'s way out: takeBack(), then
  // cleanUp().
  void undo() override {
    takeBack();
    cleanUp();
  }
  // Puts back what commit() moved, last first: back in the staging folder,
  // the new items go with it.
  void takeBack();
  // Lets go: the file being written, the staging folder with all it holds
  // (after keep(), the replaced files), the journal; the output is no
  // longer pending.
  void cleanUp();
  // The step's path from the tree's top, in `scratch`.
  const char* pathOf(const Step& step) {
    const std::string& folder = folders[step.folder];
    scratch.assign(folder).append(folder.empty() ? "" : "/").append(names.c_str() + step.name);
    return scratch.c_str();
  }
  At backup(size_t step) {
    backupName = std::to_string(step);
    return {old, backupName.c_str()};
  }

  const std::vector<FileIdentity> protectedFiles;
  // What a new file gets; what files to be replaced have otherwise.
  const Metadata newFile = newFileMetadata();
  std::unordered_map<std::string, Metadata> metadata;
  Folder destination;           // where it exists
  Folder parent;                // the folder it is in, where it does not yet
  std::string destinationName;  // its name there
  Folder* home = nullptr;       // where the staging folder is: one of the two
  std::string staging;          // the staging folder's name there; empty until made
  Folder stagingFolder, tree, old;
  std::string backupName, scratch;
  std::vector<Step> steps;
  std::vector<std::string> folders;   // from the tree's top, "" for the top itself
  std::string names;                  // each ended by a NUL
  Placement root = Placement::kNone;  // the tree itself, where the destination is new
  bool committed = false;
  PieceWriter writer;  // the file being written
};

bool OutputTree::State::begin(const std::string& path) {
  switch (destination.open(path)) {
    case Folder::Opened::kOpened:
      home = &destination;
      return true;
    case Folder::Opened::kMissing:
      break;
    case Folder::Opened::kFailed:
      return false;
  }
  const std::optional<FolderAndName> split = splitPath(path);
  if (!split || parent.open(split->folder) != Folder::Opened::kOpened) return false;
  destinationName = split->name;
  home = &parent;
  return true;
}

bool OutputTree::State::makeStaging() {
  if (!staging.empty()) return tree.isOpen();
  staging = temporaryName(destination.isOpen() ? "" : destinationName);
  setPendingOutput(this);
  if (!makeFolder({*home, staging.c_str()}, 0700)) {
    staging.clear();
    setPendingOutput(nullptr);
    return false;
  }
  // The tree takes the destination's place where there is none: a folder
  // made as the user's folders are.
  return stagingFolder.openIn(*home, staging) && makeFolder({stagingFolder, "t"}, 0777) &&
         tree.openIn(stagingFolder, "t") && makeFolder({stagingFolder, "o"}, 0700) &&
         old.openIn(stagingFolder, "o") && interruption() == 0;
}

bool OutputTree::State::record(const std::string& path, Kind kind) {
  const size_t slash = path.rfind('/');
  const std::string_view folder =
      std::string_view(path).substr(0, slash == std::string::npos ? 0 : slash);
  // The files of one folder come one after another, so a folder is kept
  // once for each run of them.
  if (folders.empty() || folders.back() != folder) folders.emplace_back(folder);
  if (names.size() > UINT32_MAX || folders.size() > UINT32_MAX) return false;
  steps.push_back(
      {static_cast<uint32_t>(folders.size() - 1), static_cast<uint32_t>(names.size()), kind});
  names.append(path, slash == std::string::npos ? 0 : slash + 1).push_back('\0');
  return true;
}

void OutputTree::State::takeBack() {
  if (!committed) return;
  for (size_t i = steps.size(); i-- > 0;) {
    const char* path = pathOf(steps[i]);
    platform::takeBack(steps[i].placement, {tree, path}, {destination, path}, backup(i));
  }
  platform::takeBack(root, {stagingFolder, "t"}, {parent, destinationName.c_str()}, {old, ""});
  committed = false;
}

void OutputTree::State::cleanUp() {
  writer.abandon();
  for (Folder* folder : {&tree, &old, &stagingFolder}) folder->close();
  if (!staging.empty()) removeTree({*home, std::exchange(staging, std::string()).c_str()});
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
  if (pendingOutput() != nullptr || destination.empty()) return false;  // one output at a time
  auto state = std::make_unique<State>(source);
  if (!state->begin(destination)) return false;
  destinationExists_ = state->destination.isOpen();
  state_ = std::move(state);
  return true;
}

OutputTree::Found OutputTree::inspect(const std::string& path) {
  State& s = *state_;
  if (!s.destination.isOpen()) return Found::kNothing;
  Metadata kept;
  const Found found = platform::inspect({s.destination, path.c_str()}, s.protectedFiles, kept);
  // A replaced file keeps its metadata, as a single extracted file does.
  // Only what a new file would not have is noted, for beginFile().
  if (found == Found::kFile && kept != s.newFile) s.metadata.emplace(path, kept);
  return found;
}

bool OutputTree::addFolder(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging() || !makeFolder({s.tree, path.c_str()}, 0777)) return false;
  return place != Place::kNew || s.record(path, State::Kind::kFolder);
}

bool OutputTree::beginFile(const std::string& path, Place place) {
  State& s = *state_;
  bool taken = false;
  const std::intptr_t file = s.makeStaging() ? createFile({s.tree, path.c_str()}, taken) : -1;
  if (file == -1) return false;
  s.writer.open(file);
  if (place == Place::kInNewFolder) return true;
  if (!s.record(path, place == Place::kExisting ? State::Kind::kReplacement : State::Kind::kFile))
    return false;
  const auto kept = s.metadata.find(path);
  if (place == Place::kExisting && kept != s.metadata.end()) keepMetadata(file, kept->second);
  return true;
}

WriteStatus OutputTree::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  return state_->writer.writeAt(offset, pieces);
}

WriteStatus OutputTree::flush() { return state_->writer.flush(); }

bool OutputTree::endFile() { return state_->writer.close(); }

bool OutputTree::commit() {
  State& s = *state_;
  if (!s.makeStaging() || s.writer.isOpen() || interruption() != 0) return false;
  s.committed = true;
  if (!s.destination.isOpen()) {
    s.root = putFolderInPlace({s.stagingFolder, "t"}, {s.parent, s.destinationName.c_str()});
    return s.root != Placement::kNone;
  }
  for (size_t i = 0; i < s.steps.size(); ++i) {
    State::Step& step = s.steps[i];
    const At inTree{s.tree, s.pathOf(step)}, inDestination{s.destination, inTree.name};
    step.placement = step.kind == State::Kind::kFolder
                         ? putFolderInPlace(inTree, inDestination)
                         : putInPlace(inTree, inDestination, step.kind == State::Kind::kReplacement,
                                      s.backup(i));
    if (step.placement == Placement::kNone || interruption() != 0) return false;
  }
  return true;
}

// What was replaced is in the staging folder now, which goes.
void OutputTree::keep() {
  if (state_ != nullptr) state_->cleanUp();
  state_.reset();
}

void OutputTree::discard() {
  if (state_ != nullptr) state_->undo();
  state_.reset();
}

}  // namespace vaultcat::platform
