// The tree output on Windows: the same staging folder as on POSIX systems,
// moved in with MoveFileExW. A replaced file is kept by ReplaceFileW under
// a backup name until keep(). Windows cannot swap two names in one step, so
// each replacement and each move back leaves a moment in which the target
// is missing or is the other file, which POSIX systems do not.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/handle_win32.h"
#include "platform/output_tree.h"
#include "platform/platform_internal.h"
#include "platform/process.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

struct OutputTree::State final : PendingOutput {
  enum class Kind { kFolder, kFile, kReplacement };
  enum class Done { kNot, kMoved, kReplaced, kReplacedForGood };
  struct Step {
    std::string path;
    Kind kind;
    Done done = Done::kNot;
  };

  ~State() { undo(); }
  void undo() override;
  bool makeStaging();
  std::wstring inTree(const std::string& path) const { return widePath(tree + "/" + path); }
  std::wstring inDestination(const std::string& path) const {
    return widePath(destination + "/" + path);
  }
  std::wstring backup(size_t step) const { return widePath(old + "/" + std::to_string(step)); }

  std::vector<FileIdentity> protectedFiles;
  std::string destination;
  bool destinationExists = false;
  std::string staging, tree, old;  // empty until made
  std::vector<Step> steps;
  bool committed = false;
  Handle file;
  bool fileFailed = false;
};

bool OutputTree::State::makeStaging() {
  if (!staging.empty()) return true;
  const size_t slash = destination.find_last_of("/\\");
  const std::string home = destinationExists            ? destination
                           : slash == std::string::npos ? std::string(".")
                                                        : destination.substr(0, slash);
  const std::string name = destinationExists ? "" : destination.substr(slash + 1);
  staging = home + "/" + temporaryName(name, 200);
  tree = staging + "/t";
  old = staging + "/o";
  setPendingOutput(this);
  for (const std::string& folder : {staging, tree, old}) {
    if (!::CreateDirectoryW(widePath(folder).c_str(), nullptr)) {
      if (folder == staging) staging.clear();
      return false;
    }
  }
  return interruption() == 0;
}

void OutputTree::State::undo() {
  file.reset();
  if (committed) {
    for (size_t i = steps.size(); i-- > 0;) {
      const Step& step = steps[i];
      if (step.done == Done::kMoved)
        ::MoveFileExW(inDestination(step.path).c_str(), inTree(step.path).c_str(), 0);
      if (step.done == Done::kReplaced)
        ::MoveFileExW(backup(i).c_str(), inDestination(step.path).c_str(),
                      MOVEFILE_REPLACE_EXISTING);
    }
    if (!destinationExists) ::MoveFileExW(widePath(destination).c_str(), widePath(tree).c_str(), 0);
    committed = false;
  }
  if (!staging.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(widePath(staging), ignored);
    staging.clear();
  }
  steps.clear();
  if (pendingOutput() == this) setPendingOutput(nullptr);
}

OutputTree::OutputTree() = default;
OutputTree::~OutputTree() { discard(); }

bool OutputTree::begin(const std::string& destination, const MappedFile*,
                       std::span<const FileIdentity> protectedFiles) {
  discard();
  if (pendingOutput() != nullptr || destination.empty()) return false;
  auto state = std::make_unique<State>();
  state->protectedFiles.assign(protectedFiles.begin(), protectedFiles.end());
  state->destination = destination;
  while (state->destination.size() > 1 &&
         state->destination.find_last_of("/\\") == state->destination.size() - 1)
    state->destination.pop_back();
  const DWORD attributes = ::GetFileAttributesW(widePath(state->destination).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    state->destinationExists = true;
  } else {
    const size_t slash = state->destination.find_last_of("/\\");
    const std::string parent =
        slash == std::string::npos ? "." : state->destination.substr(0, slash + 1);
    const std::string name = state->destination.substr(slash == std::string::npos ? 0 : slash + 1);
    const DWORD above = ::GetFileAttributesW(widePath(parent).c_str());
    if (above == INVALID_FILE_ATTRIBUTES || (above & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        name == "." || name == "..")
      return false;
  }
  destinationExists_ = state->destinationExists;
  state_ = std::move(state);
  return true;
}

OutputTree::Found OutputTree::inspect(const std::string& path) {
  if (state_ == nullptr || !state_->destinationExists) return Found::kNothing;
  const std::wstring wide = state_->inDestination(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Found::kNothing
                                                                          : Found::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Found::kOther;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Found::kFolder;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return Found::kOther;
  Handle existing(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  FileIdentity identity;
  return existing.valid() && ::GetFileType(existing.get()) == FILE_TYPE_DISK &&
                 identifyOpenFile(toStored(existing.get()), identity) &&
                 !isOneOf(identity, state_->protectedFiles)
             ? Found::kFile
             : Found::kOther;
}

bool OutputTree::addFolder(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging() || !::CreateDirectoryW(s.inTree(path).c_str(), nullptr)) return false;
  if (place == Place::kNew) s.steps.push_back({path, State::Kind::kFolder});
  return true;
}

bool OutputTree::beginFile(const std::string& path, Place place) {
  State& s = *state_;
  if (!s.makeStaging()) return false;
  s.file.take(::CreateFileW(s.inTree(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!s.file.valid()) return false;
  s.fileFailed = false;
  if (place != Place::kInNewFolder) {
    s.steps.push_back(
        {path, place == Place::kThere ? State::Kind::kReplacement : State::Kind::kFile});
  }
  return true;
}

WriteStatus OutputTree::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  State& s = *state_;
  if (!s.file.valid() || s.fileFailed) return {WriteStatus::Kind::kOutputFailed, 0};
  const WriteStatus status = writeAtOffset(s.file.get(), offset, pieces);
  s.fileFailed = !status.ok();
  return status;
}

WriteStatus OutputTree::flush() { return {}; }

bool OutputTree::endFile() {
  State& s = *state_;
  return s.file.reset() && !s.fileFailed;
}

bool OutputTree::commit() {
  State& s = *state_;
  if (!s.makeStaging() || s.file.valid() || interruption() != 0) return false;
  s.committed = true;
  if (!s.destinationExists)
    return ::MoveFileExW(widePath(s.tree).c_str(), widePath(s.destination).c_str(), 0);
  for (size_t i = 0; i < s.steps.size(); ++i) {
    State::Step& step = s.steps[i];
    const std::wstring from = s.inTree(step.path), to = s.inDestination(step.path);
    if (step.kind != State::Kind::kReplacement) {
      if (::MoveFileExW(from.c_str(), to.c_str(), 0)) step.done = State::Done::kMoved;
    } else if (::ReplaceFileW(to.c_str(), from.c_str(), s.backup(i).c_str(),
                              REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
      step.done = State::Done::kReplaced;
    } else if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      step.done = State::Done::kReplacedForGood;
    }
    if (step.done == State::Done::kNot || interruption() != 0) return false;
  }
  return true;
}

void OutputTree::keep() {
  if (state_ == nullptr) return;
  state_->committed = false;
  state_->undo();
  state_.reset();
}

void OutputTree::discard() {
  if (state_ != nullptr) state_->undo();
  state_.reset();
}

}  // namespace vaultcat::platform
