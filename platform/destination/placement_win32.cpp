// Placement on Windows: MoveFileExW, and ReplaceFileW to keep a replaced
// file under a backup name. Windows cannot swap two names in one step, so
// each replacement and each move back leaves a moment in which the target
// is missing or is the other file, which POSIX systems do not.
#include "platform/destination/placement.h"
#include "platform/process/handle_win32.h"
#include "platform/process/wide_path_win32.h"

namespace vaultcat::platform {

// Names such as NUL, CON or AUX.TXT open a device in any folder: bytes
// written there are lost or go elsewhere, and the extraction would report
// a success with no file on disk. A link, or any other reparse point, is
// never replaced: what it leads to is not what a move would replace.
Found inspect(At at, std::span<const FileIdentity> protectedFiles, Seen& seen) {
  Handle there(::CreateFileW(widePath(at).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!there.valid()) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Found::kNothing
                                                                          : Found::kOther;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(there.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(there.get(), &info) ||
      !identifyOpenFile(toStored(there.get()), seen.identity) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return Found::kOther;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Found::kFolder;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ||
      isOneOf(seen.identity, protectedFiles))
    return Found::kOther;
  return Found::kFile;
}

// A file's owner and access rights are its folder's on Windows.
Metadata newFileMetadata() { return {}; }
void keepMetadata(std::intptr_t, const Metadata&) {}

bool moveName(At from, At to, Over over) {
  return ::MoveFileExW(widePath(from).c_str(), widePath(to).c_str(),
                       over == Over::kReplace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
}

bool swapNames(At, At) { return false; }

Placement replaceInOneStep(At temporary, At target, const FileIdentity& replaced, At backup,
                           Failure& failure) {
  if (!::ReplaceFileW(widePath(target).c_str(), widePath(temporary).c_str(),
                      widePath(backup).c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr)) {
    // It may have moved the old file aside and stopped there: it comes
    // back, and the file is moved aside by hand.
    if (::GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
      moveName(backup, target, Over::kNothing);
    return Placement::kNone;
  }
  if (isAt(backup, replaced)) return Placement::kMovedAside;
  // Not the file the run saw there: it goes back, over ours.
  moveName(backup, target, Over::kReplace);
  failure = {Failure::Kind::kChanged};
  return Placement::kNone;
}

}  // namespace vaultcat::platform
