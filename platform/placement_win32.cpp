// Placement on Windows: MoveFileExW, and ReplaceFileW to keep a replaced
// file under a backup name. Windows cannot swap two names in one step, so
// each replacement and each move back leaves a moment in which the target
// is missing or is the other file, which POSIX systems do not.
#include "platform/handle_win32.h"
#include "platform/placement.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

namespace {

bool move(At from, At to, DWORD flags = 0) {
  return ::MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), flags) != 0;
}

}  // namespace

// Names such as NUL, CON or AUX.TXT open a device in any folder: bytes
// written there are lost or go elsewhere, and the extraction would report
// a success with no file on disk. A link, or any other reparse point, is
// never replaced: what it leads to is not what a move would replace.
Found inspect(At at, std::span<const FileIdentity> protectedFiles, Metadata&) {
  const std::wstring path = widePath(at);
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Found::kNothing
                                                                          : Found::kOther;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return Found::kOther;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Found::kFolder;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return Found::kOther;
  Handle existing(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  FileIdentity identity;
  return existing.valid() && ::GetFileType(existing.get()) == FILE_TYPE_DISK &&
                 identifyOpenFile(toStored(existing.get()), identity) &&
                 !isOneOf(identity, protectedFiles)
             ? Found::kFile
             : Found::kOther;
}

// A file's owner and access rights are its folder's on Windows.
Metadata newFileMetadata() { return {}; }
void keepMetadata(std::intptr_t, const Metadata&) {}

Placement putInPlace(At temporary, At target, bool replacing, At backup) {
  // A file another process puts at an empty target meanwhile is never
  // replaced.
  if (!replacing || ::GetFileAttributesW(widePath(target).c_str()) == INVALID_FILE_ATTRIBUTES)
    return move(temporary, target) ? Placement::kCreated : Placement::kNone;
  if (::ReplaceFileW(widePath(target).c_str(), widePath(temporary).c_str(),
                     widePath(backup).c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
    return Placement::kBackedUp;
  // The file system cannot keep the old file: it is replaced for good.
  return move(temporary, target, MOVEFILE_REPLACE_EXISTING) ? Placement::kReplaced
                                                            : Placement::kNone;
}

Placement putFolderInPlace(At temporary, At target) {
  return move(temporary, target) ? Placement::kCreated : Placement::kNone;
}

bool takeBack(Placement placement, At temporary, At target, At backup) {
  switch (placement) {
    case Placement::kNone:
      return true;
    case Placement::kCreated:
      return move(target, temporary);
    case Placement::kBackedUp:
      // The old file takes its name back; ours goes with the replacement.
      return move(backup, target, MOVEFILE_REPLACE_EXISTING);
    case Placement::kExchanged:
    case Placement::kReplaced:
      break;
  }
  return false;
}

void settle(Placement placement, At, At backup) {
  if (placement == Placement::kBackedUp) removeFile(backup);
}

}  // namespace vaultcat::platform
