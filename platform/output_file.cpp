// The output file, on every system: a hidden temporary file beside the
// target, opened exclusively, put in place as placement.h says.
#include "platform/output_file.h"

#include <optional>
#include <utility>

#include "platform/folder.h"
#include "platform/pending_output.h"
#include "platform/placement.h"
#include "platform/process.h"
#include "platform/temporary_name.h"

namespace vaultcat::platform {

struct OutputFile::State final : PendingOutput {
  explicit State(const SourceFile& source) : writer(source) {}
  At at(const std::string& name) const { return {folder, name.c_str()}; }

  bool createTemporary();
  // An interrupt's, a fault's or discard()'s way out: takeBack(), then
  // cleanUp().
  void undo() override {
    takeBack();
    cleanUp();
  }
  // Puts the target back as it was, ours at the temporary name again.
  // Where that cannot be, the temporary name may hold the user's file,
  // which stays.
  void takeBack() {
    if (!platform::takeBack(placement, at(temporary), at(target), at(backup))) created = false;
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
    if (created) removeFile(at(temporary));
    created = false;
    if (pendingOutput() == this) setPendingOutput(nullptr);
  }

  Folder folder;
  std::string target, temporary, backup;  // names in the folder
  bool replacing = false;                 // a file was at the target when the output began
  bool created = false;                   // the temporary name holds our file
  Placement placement = Placement::kNone;
  PieceWriter writer;
};

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
      return true;
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
  const std::optional<std::string> followed = followLinks(path);
  const std::optional<FolderAndName> split = followed ? splitPath(*followed) : std::nullopt;
  auto state = std::make_unique<State>(source);
  if (!split || state->folder.open(split->folder) != Folder::Opened::kOpened) return false;
  Metadata kept;
  const Found found = inspect(state->at(split->name), protectedFiles(source), kept);
  if (found != Found::kNothing && found != Found::kFile) return false;
  state->target = split->name;
  state->replacing = found == Found::kFile;
  state->backup = temporaryName(state->target);
  state_ = std::move(state);
  setPendingOutput(state_.get());
  if (!state_->createTemporary() || interruption() != 0) {
    discard();
    return false;
  }
  if (state_->replacing) keepMetadata(state_->writer.file(), kept);
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
  if (state_ == nullptr || !state_->writer.close() || interruption() != 0) return false;
  // The temporary file takes the target's place in one step; what was there
  // stays reachable until keep(), so that discard() can still put it back.
  State& s = *state_;
  s.placement = putInPlace(s.at(s.temporary), s.at(s.target), s.replacing, s.at(s.backup));
  return s.placement != Placement::kNone;
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
