// What both systems share of placement: which files are protected, moving
// a replaced file aside where no single step can keep it, and taking a
// placement back by what is found where.
#include "platform/destination/placement.h"

#include "platform/process/process.h"

namespace vaultcat::platform {

namespace {

// Why a move to `target` failed: something is there now, or the system's
// reason, taken before anything else can change it.
Failure whyNotMoved(At target) {
  const Failure system = Failure::ofSystem();
  FileIdentity there;
  return identifyAt(target, there) ? Failure{Failure::Kind::kChanged} : system;
}

// The old file leaves by a move that can be taken back, then the new one
// comes: for a moment the target is missing, which a file system that can
// neither swap two names nor give a file two cannot avoid.
Placement moveAside(At temporary, At target, const FileIdentity& replaced, At backup,
                    Failure& failure) {
  if (!moveName(target, backup, Over::kNothing)) {
    const Failure system = Failure::ofSystem();
    FileIdentity there;
    failure = identifyAt(target, there) ? Failure{Failure::Kind::kCannotKeep, system.code}
                                        : Failure{Failure::Kind::kChanged};
    return Placement::kNone;
  }
  if (!isAt(backup, replaced)) {
    // Not the file the run saw there: it goes back.
    moveName(backup, target, Over::kNothing);
    failure = {Failure::Kind::kChanged};
    return Placement::kNone;
  }
  if (moveName(temporary, target, Over::kNothing)) return Placement::kMovedAside;
  failure = whyNotMoved(target);
  moveName(backup, target, Over::kNothing);
  return Placement::kNone;
}

}  // namespace

std::vector<FileIdentity> protectedFiles(const SourceFile& source) {
  std::vector<FileIdentity> files;
  if (source.handle() != -1) files.push_back(source.identity());
  if (std::optional<FileIdentity> standardOutput = standardOutputFile())
    files.push_back(*standardOutput);
  return files;
}

Placement putInPlace(At temporary, At target, const FileIdentity* replaced, At backup,
                     Failure& failure) {
  if (replaced == nullptr) {
    if (moveName(temporary, target, Over::kNothing)) return Placement::kCreated;
    failure = whyNotMoved(target);
    return Placement::kNone;
  }
  failure = {};
  const Placement placement = replaceInOneStep(temporary, target, *replaced, backup, failure);
  if (placement != Placement::kNone || failure.failed()) return placement;
  return moveAside(temporary, target, *replaced, backup, failure);
}

Placement putFolderInPlace(At temporary, At target, Failure& failure) {
  if (moveName(temporary, target, Over::kNothing)) return Placement::kCreated;
  failure = whyNotMoved(target);
  return Placement::kNone;
}

bool takeBack(At temporary, At target, At backup, const FileIdentity& placed,
              const FileIdentity* replaced) {
  FileIdentity there;
  const bool occupied = identifyAt(target, there);
  if (occupied && there.sameFileAs(placed)) {
    if (replaced == nullptr) return moveName(target, temporary, Over::kNothing);
    if (isAt(temporary, *replaced)) return swapNames(temporary, target);
    // Ours goes with the move that brings the old file back.
    return isAt(backup, *replaced) && moveName(backup, target, Over::kReplace);
  }
  if (replaced == nullptr) return true;
  if (occupied && there.sameFileAs(*replaced)) {
    // A second name the old file was given, which no longer serves.
    if (isAt(backup, *replaced)) removeFile(backup);
    return true;
  }
  // Ours never took the target: the old file may have been moved aside
  // for it.
  if (isAt(temporary, placed))
    return occupied || !isAt(backup, *replaced) || moveName(backup, target, Over::kNothing);
  // Something else took the target after ours: the old file stays where
  // it is kept, if it is.
  return !isAt(temporary, *replaced) && !isAt(backup, *replaced);
}

void settle(Placement placement, At temporary, At backup) {
  if (placement == Placement::kExchanged) removeFile(temporary);
  if (placement == Placement::kMovedAside) removeFile(backup);
}

}  // namespace vaultcat::platform
