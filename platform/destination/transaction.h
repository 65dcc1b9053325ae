// The changes a tree output makes to its destination, all or nothing: made
// in a staging folder, recorded in a commit plan and its journal, put in
// place by one commit and taken back from the plan. For the platform's own
// sources.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/destination/commit_plan.h"
#include "platform/destination/destination.h"
#include "platform/destination/folder.h"
#include "platform/destination/folder_walk.h"
#include "platform/destination/journal.h"
#include "platform/destination/placement.h"

namespace vaultcat::platform {

// The calls by which a transaction moves items in and back (placement.h)
// and syncs a folder after the moves: the system's own, or in a test one
// that refuses some of them.
class Moves {
 public:
  virtual ~Moves() = default;
  virtual Placement putInPlace(At temporary, At target, const FileIdentity* replaced, At backup,
                               Failure& failure);
  virtual Placement putFolderInPlace(At temporary, At target, Failure& failure);
  virtual bool takeBack(At temporary, At target, At backup, const FileIdentity& placed,
                        const FileIdentity* replaced);
  virtual bool syncFolder(const Folder& folder);
};
Moves& systemMoves();

// Takes back, last first, every move of `plan` between the staging folder
// `staging` and the destination `top` it is in. Each is taken back that
// can be, even past one that cannot; true once each target is as it was
// before the commit.
bool takeBack(const CommitPlan& plan, const Folder& staging, const Folder& top, Moves& moves);

class Transaction {
 public:
  using Kind = CommitPlan::Kind;

  Transaction(Destination& destination, ProblemNote note, Moves& moves = systemMoves())
      : destination_(destination), note_(note), moves_(moves) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Makes the staging folder in the destination, with the tree, the folder
  // the replaced files move aside to, and the journal; once, and it stays
  // until cleanUp(). False if it cannot be, or the run is to stop.
  bool stage();
  bool staged() const { return !staging_.empty(); }
  // Where each new item waits at its path until the commit moves it in, and
  // where a file the commit replaces is moved aside to, at its path.
  const Folder& tree() const { return tree_; }
  const Folder& old() const { return old_; }
  // The staging folder's path, as the user gave the destination's.
  std::string stagingPath() const;

  // Adds to the plan the move of the item at `path` in the tree, which is
  // `in`, of `kind`; `there` is what a replacement replaces, or the file
  // kept (and then also `in`). False, with the problem noted, where the
  // plan would outgrow what a journal holds.
  bool record(const std::string& path, Kind kind, const FileIdentity& in,
              const FileIdentity* there);
  uint64_t replacements() const { return plan_.replacements(); }

  // Puts everything in place as OutputTree::commit() says; false, with the
  // problem noted, if something could not be.
  bool commit();
  // Takes back what commit() moved; false, with kCannotTakeBack noted,
  // where some of it could not be: the user's files stay in the staging
  // folder then.
  bool takeBack();
  // Lets go of the staging folder, and (if `remove`) removes it with all
  // it holds.
  void cleanUp(bool remove);

 private:
  bool moveIn();
  bool putIn(const CommitPlan::Move& move);
  bool stillKept(const CommitPlan::Move& move);
  bool syncReplacements(bool afterMoves);
  bool syncFolders();
  // Reaches the folder `folder` of a run on every side (and the folder of
  // the files moved aside where `aside`).
  bool reach(std::string_view folder, bool aside);
  std::string pathOf(std::string_view name) const {
    return reached_ + (reached_.empty() ? "" : "/") + std::string(name);
  }

  Destination& destination_;
  const ProblemNote note_;
  Moves& moves_;
  std::string staging_;  // the staging folder's name in the destination; empty until made
  Folder stagingFolder_, tree_, old_;
  FolderWalk treeWalk_{tree_}, oldWalk_{old_};
  CommitPlan plan_;
  Journal journal_;
  bool committed_ = false;  // moves may have been made
  // The folder of the run being moved, on each side.
  std::string reached_;
  const Folder *target_ = nullptr, *temporary_ = nullptr, *aside_ = nullptr;
};

}  // namespace vaultcat::platform
