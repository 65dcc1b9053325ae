// The output file, on every system: a hidden temporary file beside the
// target, opened exclusively, put in place as placement.h says. The
// folders of a path taken from the working directory are reached by a walk
// (folder_walk.h), and reached again just before the file is put in place.
#include "platform/destination/output_file.h"

#include <optional>
#include <utility>

#include "platform/destination/folder.h"
#include "platform/destination/folder_walk.h"
#include "platform/destination/placement.h"
#include "platform/destination/temporary_name.h"
#include "platform/process/pending_output.h"
#include "platform/process/process.h"

namespace vaultcat::platform {

struct OutputFile::State final : PendingOutput {
  explicit State(const SourceFile& source) : writer(source) {}
  At at(const std::string& name) const { return {*folder, name.c_str()}; }

  bool reachFolder(const std::string& path, const FolderAndName& split);
  bool createTemporary();
  // An interrupt's, a fault's or discard()'s way out: takeBack(), then
  // cleanUp().
  void undo() override {
    takeBack();
    cleanUp();
  }
  // Puts the target back as it was, ours at the temporary name again.
  // Where that cannot be, the user's file stays where it is kept.
  void takeBack() {
    if (placement != Placement::kNone &&
        !platform::takeBack(at(temporary), at(target), at(backup), placed,
                            replaced ? &*replaced : nullptr))
      created = false;
    placement = Placement::kNone;
  }
  // Once the run is complete: what the placement kept of the old file goes,
  // and nothing at the temporary name is ours.
  void settle() {
    platform::settle(placement, at(temporary), at(backup));
    placement = Placement::kNone;
    created = false;
  }
  // Lets go: the file being written, the temporary file where it is still
  // ours; the output is no longer pending.
  void cleanUp() {
    writer.abandon();
    if (created && isAt(at(temporary), placed)) removeFile(at(temporary));
    created = false;
    if (pendingOutput() == this) setPendingOutput(nullptr);
  }

  Folder top;              // the working directory, for a path taken from it
  FolderWalk walk{top};    // to the target's folder, there
  std::string folderPath;  // its path from the working directory
  bool walked = false;     // the folder is one the walk reached
  Folder reached;          // the folder otherwise, by its path
  const Folder* folder = nullptr;
  std::string target, temporary, backup;  // names in the folder
  std::optional<FileIdentity> replaced;   // the file at the target when the output began
  FileIdentity placed;                    // ours
  bool created = false;                   // the temporary name holds our file
  Placement placement = Placement::kNone;
  PieceWriter writer;
};

// The folder the file goes in: reached by the walk where the path is taken
// from the working directory, so that no link on the way is followed; a
// link at the file's own name is, as far as its target's folder, which is
// opened by its path.
bool OutputFile::State::reachFolder(const std::string& path, const FolderAndName& split) {
  target = split.name;
  Failure failure;
  if (isRelativePath(path)) {
    folderPath = split.folder == "." ? "" : split.folder.substr(0, split.folder.size() - 1);
    walked = top.open(".") == Folder::Opened::kOpened &&
             (folder = walk.reach(folderPath, failure)) != nullptr;
    if (!walked) return false;
  } else if (reached.open(split.folder) == Folder::Opened::kOpened) {
    folder = &reached;
  } else {
    return false;
  }
  const std::optional<std::string> link = linkAt(at(target));
  if (!link) return true;
  const std::optional<std::string> followed =
      followLinks(isRelativePath(*link) && split.folder != "." ? split.folder + *link : *link);
  const std::optional<FolderAndName> led = followed ? splitPath(*followed) : std::nullopt;
  walked = false;
  if (!led || reached.open(led->folder) != Folder::Opened::kOpened) return false;
  folder = &reached;
  target = led->name;
  return true;
}

// A new temporary file beside the target, opened exclusively without
// following links.
bool OutputFile::State::createTemporary() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = temporaryName(target);
    bool taken = false;
    const std::intptr_t file = createFile(at(temporary), taken);
    if (file != -1) {
      created = true;
      writer.open(file);
      return identifyOpenFile(file, placed);
    }
    if (!taken) return false;
  }
  return false;
}

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& path, const SourceFile& source) {
  discard();
  if (pendingOutput() != nullptr) return false;  // one output at a time
  const std::optional<FolderAndName> split = splitPath(path);
  auto state = std::make_unique<State>(source);
  if (!split || !state->reachFolder(path, *split)) return false;
  Seen seen;
  const Found found = inspect(state->at(state->target), protectedFiles(source), seen);
  if (found != Found::kNothing && found != Found::kFile) return false;
  if (found == Found::kFile) state->replaced = seen.identity;
  state->backup = temporaryName(state->target);
  state_ = std::move(state);
  setPendingOutput(state_.get());
  if (!state_->createTemporary() || mustStop()) {
    discard();
    return false;
  }
  if (state_->replaced) keepMetadata(state_->writer.file(), seen.metadata);
  return true;
}

WriteStatus OutputFile::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (state_ == nullptr) return {WriteStatus::Kind::kOutputFailed};
  return state_->writer.writeAt(offset, pieces);
}

WriteStatus OutputFile::flush() {
  if (state_ == nullptr) return {WriteStatus::Kind::kOutputFailed};
  return state_->writer.flush();
}

bool OutputFile::commit() {
  if (state_ == nullptr) return false;
  State& s = *state_;
  // A file that replaces one is on disk before it does, and its name after:
  // a power cut then leaves the old file or the new, never an empty one.
  const bool replacing = s.replaced.has_value();
  if (!s.writer.flush().ok() || (replacing && !syncFile(s.writer.file())) || !s.writer.close() ||
      mustStop())
    return false;
  // The folder must still be where the walk found it.
  Failure failure;
  if (s.walked && !s.walk.verify(failure)) return false;
  // The temporary file takes the target's place in one step; what was there
  // stays reachable until keep(), so that discard() can still put it back.
  s.placement = putInPlace(s.at(s.temporary), s.at(s.target), replacing ? &*s.replaced : nullptr,
                           s.at(s.backup), failure);
  return s.placement != Placement::kNone && (!replacing || syncFolder(*s.folder));
}

void OutputFile::keep() {
  if (state_ == nullptr) return;
  state_->settle();
  state_->cleanUp();
  state_.reset();
}

void OutputFile::discard() {
  if (state_ != nullptr) state_->undo();
  state_.reset();
}

}  // namespace vaultcat::platform
