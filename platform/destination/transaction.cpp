// The transaction, on every system. The staging folder (staging.h) holds
// the new tree, the replaced files moved aside and the journal; commit()
// walks the plan forward, moving each item in as placement.h says with each
// folder of the destination reached by a walk (folder_walk.h), and a
// take-back walks it backward.
#include "platform/destination/transaction.h"

#include <chrono>

#include "platform/destination/staging.h"
#include "platform/process/process.h"

namespace vaultcat::platform {

namespace {

using Kind = CommitPlan::Kind;
using Mark = Journal::Mark;

// What a call notes where the run is to stop (mustStop()).
constexpr Failure kStop{Failure::Kind::kInterrupted};

// Takes back one move, between the folders of its run: the destination's
// (null where it is no longer where it was), the tree's and the one its
// replaced file was moved aside to.
bool takeBackMove(const CommitPlan::Move& move, const Folder* target, const Folder* temporary,
                  const Folder* backup, Moves& moves) {
  if (move.kind == Kind::kKept) return true;  // nothing moved it
  const bool replaces = move.kind == Kind::kReplacement;
  if (temporary == nullptr || (replaces && backup == nullptr)) return false;
  const std::string name(move.name);
  const Folder& aside = replaces ? *backup : *temporary;
  // The folder it was to go to is no longer where it was: fine where the
  // move was never made.
  if (target == nullptr)
    return isAt({*temporary, name.c_str()}, move.in) &&
           !(replaces && isAt({aside, name.c_str()}, move.there));
  return moves.takeBack({*temporary, name.c_str()}, {*target, name.c_str()}, {aside, name.c_str()},
                        move.in, replaces ? &move.there : nullptr);
}

}  // namespace

Placement Moves::putInPlace(At temporary, At target, const FileIdentity* replaced, At backup,
                            Failure& failure) {
  return platform::putInPlace(temporary, target, replaced, backup, failure);
}
Placement Moves::putFolderInPlace(At temporary, At target, Failure& failure) {
  return platform::putFolderInPlace(temporary, target, failure);
}
bool Moves::takeBack(At temporary, At target, At backup, const FileIdentity& placed,
                     const FileIdentity* replaced) {
  return platform::takeBack(temporary, target, backup, placed, replaced);
}
bool Moves::syncFolder(const Folder& folder) { return platform::syncFolder(folder); }

Moves& systemMoves() {
  static Moves moves;
  return moves;
}

bool takeBack(const CommitPlan& plan, const Folder& staging, const Folder& top, Moves& moves) {
  bool whole = true;
  if (!plan.hasMoves()) return whole;
  Folder tree, old;
  if (!tree.openIn(staging, staging::kTree) || !old.openIn(staging, staging::kOld)) return false;
  FolderWalk destination(top), staged(tree), kept(old);
  const Folder *target = nullptr, *temporary = nullptr, *backup = nullptr;
  plan.backward(
      [&](std::string_view folder) {
        Failure failure;
        target = destination.reach(folder, failure);
        temporary = staged.reach(folder, failure);
        backup = kept.reach(folder, failure);
        return true;
      },
      [&](const CommitPlan::Move& move) {
        whole = takeBackMove(move, target, temporary, backup, moves) && whole;
        return true;
      });
  return whole;
}

bool Transaction::stage() {
  if (staged()) return tree_.isOpen();
  const Folder& destination = destination_.folder();
  staging_ = staging::newName();
  if (!makeFolder({destination, staging_.c_str()}, 0700)) {
    staging_.clear();
    return note_.failHere(destination_.name());
  }
  constexpr std::chrono::milliseconds kNoWait{0};
  const bool made =
      stagingFolder_.openIn(destination, staging_) &&
      stagingFolder_.lock(kNoWait) == Folder::Locked::kLocked &&
      journal_.create({stagingFolder_, staging::kJournal}, plan_, destination_.made()) &&
      makeFolder({stagingFolder_, staging::kTree}, 0777) &&
      tree_.openIn(stagingFolder_, staging::kTree) &&
      makeFolder({stagingFolder_, staging::kOld}, 0700) &&
      old_.openIn(stagingFolder_, staging::kOld);
  if (!made) return note_.failHere(destination_.name());
  return !mustStop() || note_.fail(kStop, "");
}

std::string Transaction::stagingPath() const {
  const std::string& shown = destination_.shown();
  return shown + (shown.empty() || shown.back() == '/' ? "" : "/") + staging_;
}

bool Transaction::record(const std::string& path, Kind kind, const FileIdentity& in,
                         const FileIdentity* there) {
  const auto [folder, name] = folderAndName(path);
  if (!plan_.add(folder, {kind, name, in, there != nullptr ? *there : FileIdentity()}))
    return note_.fail({Failure::Kind::kTooMany}, path);
  journal_.writeSome();
  return true;
}

bool Transaction::commit() {
  if (mustStop()) return note_.fail(kStop, "");
  // Every folder is reached afresh, and checked to be the one the check
  // found there.
  destination_.walk().release();
  if (!journal_.mark(Mark::kCommitting)) return note_.failHere("");
  committed_ = true;
  if (!syncReplacements(false) || !moveIn() || !syncReplacements(true)) return false;
  return (journal_.mark(Mark::kComplete) && (replacements() == 0 || journal_.sync())) ||
         note_.failHere("");
}

bool Transaction::moveIn() {
  return plan_.forward([&](std::string_view folder) { return reach(folder, true); },
                       [&](const CommitPlan::Move& move) {
                         if (!(move.kind == Kind::kKept ? stillKept(move) : putIn(move)))
                           return false;
                         return !mustStop() || note_.fail(kStop, "");
                       });
}

bool Transaction::putIn(const CommitPlan::Move& move) {
  const std::string name(move.name);
  const At from{*temporary_, name.c_str()}, to{*target_, name.c_str()};
  Failure failure;
  const Placement placement =
      move.kind == Kind::kFolder
          ? moves_.putFolderInPlace(from, to, failure)
          : moves_.putInPlace(from, to, move.kind == Kind::kReplacement ? &move.there : nullptr,
                              {*aside_, name.c_str()}, failure);
  return placement != Placement::kNone || note_.fail(failure, pathOf(move.name));
}

// Whether the file kept is still at its place, unchanged: a write, a
// truncation or a change of its metadata since it was compared moves its
// change time.
bool Transaction::stillKept(const CommitPlan::Move& move) {
  const FileIdentity& kept = move.there;
  FileIdentity there;
  if (identifyAt({*target_, std::string(move.name).c_str()}, there) &&
      there.device == kept.device && there.inode == kept.inode && there.type == kept.type &&
      there.changed == kept.changed)
    return true;
  return note_.fail({Failure::Kind::kChanged}, pathOf(move.name));
}

// The new files are on disk before the first of the user's is replaced,
// and the folders after the moves, before the run says it is complete: a
// power cut then leaves the old file or the new, never an empty one. A run
// that replaces nothing does not wait for the disk.
bool Transaction::syncReplacements(bool afterMoves) {
  if (replacements() == 0) return true;
  bool synced = true;
  if (replacements() > kMostFilesSyncedOneByOne) {
    synced = syncFileSystem(destination_.folder());
  } else if (afterMoves) {
    synced = syncFolders();
  } else {
    // Each file was synced as it was written: the journal comes first.
    synced = journal_.sync();
  }
  return synced || note_.failHere("");
}

// Each folder a file was replaced in, once for each run.
bool Transaction::syncFolders() {
  bool synced = true, replaced = false;
  std::string_view folder;
  plan_.forward(
      [&](std::string_view run) {
        folder = run;
        replaced = false;
        return true;
      },
      [&](const CommitPlan::Move& move) {
        if (move.kind != Kind::kReplacement || replaced) return true;
        replaced = true;
        synced = reach(folder, false) && moves_.syncFolder(*target_) && synced;
        return true;
      });
  return synced;
}

bool Transaction::reach(std::string_view folder, bool aside) {
  Failure failure;
  reached_ = folder;
  target_ = destination_.walk().reach(folder, failure);
  temporary_ = target_ != nullptr ? treeWalk_.reach(folder, failure) : nullptr;
  aside_ = temporary_ != nullptr && aside ? oldWalk_.reach(folder, failure) : temporary_;
  return aside_ != nullptr || note_.fail(failure, reached_);
}

bool Transaction::takeBack() {
  if (!committed_) return true;
  // A complete run said so in its journal: it is being taken back now.
  journal_.mark(Mark::kUndoing);
  destination_.walk().release();
  treeWalk_.release();
  oldWalk_.release();
  const bool whole = platform::takeBack(plan_, stagingFolder_, destination_.folder(), moves_);
  if (!whole) note_.fail({Failure::Kind::kCannotTakeBack}, stagingPath());
  committed_ = !whole;
  return whole;
}

void Transaction::cleanUp(bool remove) {
  if (remove && staged()) removeFile({stagingFolder_, staging::kJournal});
  journal_.close();
  destination_.walk().release();
  treeWalk_.release();
  oldWalk_.release();
  for (Folder* folder : {&tree_, &old_, &stagingFolder_}) folder->close();
  if (remove && staged()) removeTree({destination_.folder(), staging_.c_str()});
  staging_.clear();
  plan_ = CommitPlan();
  committed_ = false;
}

}  // namespace vaultcat::platform
