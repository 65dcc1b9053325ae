// The tree output, on every system: the destination (destination.h), the
// transaction of the run's changes to it (transaction.h), and the file
// being written or compared (output_stream.h), pending together.
#include "platform/destination/output_tree.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/destination/destination.h"
#include "platform/destination/folder.h"
#include "platform/destination/output_stream.h"
#include "platform/destination/transaction.h"
#include "platform/process/pending_output.h"

namespace vaultcat::platform {

namespace {
using Kind = CommitPlan::Kind;
}  // namespace

struct OutputTree::State final : PendingOutput {
  State(const SourceFile& source, Problem& problem)
      : note(problem),
        destination(protectedFiles(source), note),
        transaction(destination, note),
        stream(source, note) {}

  // The staging folder, made with the first item.
  bool stage() { return transaction.stage(); }
  // An interrupt's, a fault's or discard()'s way out: the commit taken
  // back, then the staging folder removed, unless it holds the user's
  // files, and the destination too where the run made it.
  void undo() override { undoAll(); }
  bool undoAll() {
    stream.abandon();
    const bool whole = transaction.takeBack();
    cleanUp(whole);
    if (whole) destination.unmake();
    return whole;
  }
  // Lets go of everything; the output is no longer pending.
  void cleanUp(bool remove) {
    stream.abandon();
    transaction.cleanUp(remove);
    if (pendingOutput() == this) setPendingOutput(nullptr);
  }

  const ProblemNote note;
  Destination destination;
  Transaction transaction;
  OutputStream stream;
  // What a new file gets; what files to be replaced have otherwise.
  const Metadata newFile = newFileMetadata();
  uint64_t replacementsSeen = 0;  // by inspect(), before anything is written
  // The file the last comparison found kFillable, for beginPart().
  std::optional<FileIdentity> fillable;
};

OutputTree::OutputTree() = default;
OutputTree::~OutputTree() { discard(); }

bool OutputTree::begin(const std::string& destination, const SourceFile& source) {
  discard();
  recovered_.clear();
  problem_ = {};
  if (pendingOutput() != nullptr || destination.empty()) return false;  // one output at a time
  // Pending from the start: the destination may be made here.
  auto state = std::make_unique<State>(source, problem_);
  setPendingOutput(state.get());
  if (!state->destination.open(destination, recovered_)) {
    setPendingOutput(nullptr);
    return false;
  }
  destinationExists_ = true;
  state_ = std::move(state);
  return true;
}

uint64_t OutputTree::longestPath() const { return state_->destination.longestPath(); }

OutputTree::Found OutputTree::inspect(const std::string& path) {
  State& s = *state_;
  const Destination::Inspected there = s.destination.inspectAt(path);
  if (there.found == Found::kFolder) s.destination.walk().expect(path, there.seen.identity);
  if (there.found == Found::kFile) ++s.replacementsSeen;
  return there.found;
}

bool OutputTree::addFolder(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.stage()) return false;
  if (!makeFolder({s.transaction.tree(), path.c_str()}, 0777)) return s.note.failHere(path);
  // A file replaced in it is moved aside to the same path.
  if (place == Place::kExisting && !makeFolder({s.transaction.old(), path.c_str()}, 0700))
    return s.note.failHere(path);
  if (place != Place::kNew) return true;
  FileIdentity in;
  if (!identifyAt({s.transaction.tree(), path.c_str()}, in)) return s.note.failHere(path);
  return s.transaction.record(path, Kind::kFolder, in, nullptr);
}

bool OutputTree::beginFile(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.stage()) return false;
  bool taken = false;
  const std::intptr_t file = createFile({s.transaction.tree(), path.c_str()}, taken);
  if (file == -1) return s.note.failHere(path);
  // Few replacements are synced one by one, as each is written.
  s.stream.beginFile(file, path,
                     place == Place::kExisting && s.replacementsSeen <= kMostFilesSyncedOneByOne);
  if (place == Place::kInNewFolder) return true;
  FileIdentity in;
  if (!identifyOpenFile(file, in)) return s.note.failHere(path);
  if (place == Place::kNew) return s.transaction.record(path, Kind::kFile, in, nullptr);
  // What is there now is what the commit must find: a file this run may
  // replace, whose owner and mode the new one takes.
  const Destination::Inspected there = s.destination.inspectAt(path);
  if (there.folder == nullptr) return s.note.fail(there.failure, path);
  if (there.found != Found::kFile) return s.note.fail({Failure::Kind::kChanged}, path);
  if (there.seen.metadata != s.newFile) keepMetadata(file, there.seen.metadata);
  return s.transaction.record(path, Kind::kReplacement, in, &there.seen.identity);
}

bool OutputTree::beginPart(const std::string& path, Place place, uint64_t length, bool joined) {
  State& s = *state_;
  const std::optional<FileIdentity> compared = std::exchange(s.fillable, std::nullopt);
  if (!beginFile(path, place)) return false;
  s.stream.makePart(length);
  if (!joined) return true;
  const Destination::Inspected there = s.destination.inspectAt(path);
  if (there.folder == nullptr) return s.note.fail(there.failure, path);
  if (!compared || there.found != Found::kFile) return s.note.fail({Failure::Kind::kChanged}, path);
  return s.stream.copyIn(there.at(), *compared);
}

WriteStatus OutputTree::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  return state_->stream.writeAt(offset, pieces);
}

WriteStatus OutputTree::flush() { return state_->stream.flush(); }

bool OutputTree::endFile() { return state_->stream.endFile(); }

bool OutputTree::beginComparison(const std::string& path, uint64_t size) {
  State& s = *state_;
  if (!s.stage()) return false;
  // Only a file this run may replace is compared: what it may not replace
  // is never read either; nor one of another length, which differs.
  const Destination::Inspected there = s.destination.inspectAt(path);
  return there.found == Found::kFile && there.seen.identity.size == size &&
         s.stream.beginComparison(there.at(), there.seen.identity, path);
}

OutputTree::Compared OutputTree::endComparison() {
  State& s = *state_;
  using Holds = ExistingFile::Holds;
  const OutputStream::Compared compared = s.stream.endComparison();
  s.fillable.reset();
  if (compared.holds == Holds::kAllButZeros) {
    s.fillable = compared.file;
    return Compared::kFillable;
  }
  if (compared.holds == Holds::kOther) return Compared::kDiffers;
  const FileIdentity& kept = compared.file;
  if (!s.transaction.record(s.stream.path(), Kind::kKept, kept, &kept)) return Compared::kFailed;
  return compared.holds == Holds::kExactly ? Compared::kSame : Compared::kHoldsThem;
}

bool OutputTree::commit() {
  State& s = *state_;
  return s.stage() && !s.stream.writing() && s.transaction.commit();
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
