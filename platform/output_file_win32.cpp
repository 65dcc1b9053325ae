// The output file on Windows: a temporary file beside the target, moved in
// place with MoveFileExW.
#include <algorithm>
#include <string>

#include "platform/handle_win32.h"
#include "platform/output_file.h"
#include "platform/platform_internal.h"
#include "platform/process.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

struct OutputFile::Open {
  explicit Open(HANDLE handle) : file(handle) {}
  Handle file;
  bool failed = false;  // a write went wrong since create()
};

namespace {

// The pending output, as far as it must be undone: its temporary file until
// commit(), then the new target and, where one was replaced, the old file
// under the backup name until keep().
enum class Stage { kNothing, kTemporary, kCreated, kReplaced };
struct UndoRecord final : PendingOutput {
  void undo() override;
  Stage stage = Stage::kNothing;
  std::string temporary, backup, target;
};
UndoRecord undo;

// WriteFile takes a 32-bit length; larger pieces go out in slices of this.
constexpr uint64_t kMaxWriteSlice = uint64_t{1} << 30;

// A hidden-looking name beside `target`.
std::string temporaryPathFor(const std::string& target) {
  const size_t slash = target.find_last_of("/\\");
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, nameStart) + temporaryName(target.substr(nameStart), 200);
}

bool exists(const std::string& path) {
  return ::GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether what is at `path` may be replaced: nothing, or a disk file that
// is neither read-only nor one of `protectedFiles`. Names such as NUL, CON
// or AUX.TXT open a device in any folder: bytes written there are lost or
// go elsewhere, and the extraction would report a success with no file on
// disk.
bool mayReplace(const std::string& path, std::span<const FileIdentity> protectedFiles) {
  Handle existing(::CreateFileW(widePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!existing.valid()) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  BY_HANDLE_FILE_INFORMATION info{};
  FileIdentity identity;
  return ::GetFileType(existing.get()) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandle(existing.get(), &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0 &&
         identifyOpenFile(toStored(existing.get()), identity) && !isOneOf(identity, protectedFiles);
}

}  // namespace

void UndoRecord::undo() {
  switch (stage) {
    case Stage::kTemporary:
      ::DeleteFileW(widePath(temporary).c_str());
      break;
    case Stage::kCreated:
      ::DeleteFileW(widePath(target).c_str());
      break;
    case Stage::kReplaced:
      // The old file takes its name back; ours goes with the replacement.
      ::MoveFileExW(widePath(backup).c_str(), widePath(target).c_str(), MOVEFILE_REPLACE_EXISTING);
      break;
    case Stage::kNothing:
      break;
  }
  stage = Stage::kNothing;
}

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::string& path, const MappedFile*,
                        std::span<const FileIdentity> protectedFiles) {
  discard();
  if (undo.stage != Stage::kNothing || !mayReplace(path, protectedFiles)) return false;
  undo.target = path;
  setPendingOutput(&undo);
  undoable_ = true;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    undo.temporary = temporaryPathFor(path);
    file = ::CreateFileW(widePath(undo.temporary).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE || interruption() != 0) {
    Handle(file).reset();
    discard();
    return false;
  }
  undo.stage = Stage::kTemporary;
  undo.backup = temporaryPathFor(path);
  open_ = std::make_unique<Open>(file);
  return true;
}

WriteStatus writeAtOffset(HANDLE file, uint64_t offset, std::span<const Piece> pieces) {
  for (const Piece& piece : pieces) {
    uint64_t done = 0;
    while (done < piece.size()) {
      const auto slice = static_cast<DWORD>(std::min(piece.size() - done, kMaxWriteSlice));
      // On a handle opened for synchronous I/O the OVERLAPPED only carries
      // the position; WriteFile returns when the bytes are written. Writing
      // past the end extends the file, and the gap reads as zeros.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!::WriteFile(file, piece.data() + done, slice, &written, &at) || written == 0) {
        // The system could not read the cache's bytes under the mapping.
        const DWORD error = ::GetLastError();
        const bool unreadable = error == ERROR_NOACCESS || error == ERROR_SWAPERROR;
        return {
            unreadable ? WriteStatus::Kind::kSourceUnreadable : WriteStatus::Kind::kOutputFailed,
            static_cast<int>(error)};
      }
      done += written;
      offset += written;
    }
  }
  return {};
}

WriteStatus OutputFile::writeAt(uint64_t offset, std::span<const Piece> pieces) {
  if (open_ == nullptr || open_->failed) return {WriteStatus::Kind::kOutputFailed, 0};
  const WriteStatus status = writeAtOffset(open_->file.get(), offset, pieces);
  open_->failed = !status.ok();
  return status;
}

// The system reads a mapped view ahead by itself.
WriteStatus OutputFile::flush() { return {}; }

bool OutputFile::commit() {
  if (open_ == nullptr || open_->failed || !undoable_) return false;
  const bool closed = open_->file.reset();
  open_.reset();
  if (!closed || interruption() != 0) return false;
  const std::wstring temporary = widePath(undo.temporary), target = widePath(undo.target);
  if (!exists(undo.target)) {
    // A file another process puts there meanwhile is not replaced.
    if (!::MoveFileExW(temporary.c_str(), target.c_str(), 0)) return false;
    undo.stage = Stage::kCreated;
    return true;
  }
  // The old file stays under the backup name until keep(), so that
  // discard() can still put it back. Where the file system cannot do that,
  // it is replaced for good.
  if (::ReplaceFileW(target.c_str(), temporary.c_str(), widePath(undo.backup).c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    undo.stage = Stage::kReplaced;
    return true;
  }
  if (!::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
  undo.stage = Stage::kNothing;
  return true;
}

void OutputFile::keep() {
  if (!undoable_) return;
  if (undo.stage == Stage::kReplaced) ::DeleteFileW(widePath(undo.backup).c_str());
  undo.stage = Stage::kNothing;
  setPendingOutput(nullptr);
  undoable_ = false;
}

void OutputFile::discard() {
  open_.reset();
  if (!undoable_) return;
  undo.undo();
  setPendingOutput(nullptr);
  undoable_ = false;
}

}  // namespace vaultcat::platform
