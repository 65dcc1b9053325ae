// What a tree output's commit does, move by move: the one record of it,
// which the commit walks forward, a take-back walks backward, and the
// journal writes and reads back. For the platform's own sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process/file_identity.h"

namespace vaultcat::platform {

// The moves come in runs, each of moves in one folder of the destination
// (a path from it, "" for the destination itself), so that a walk reaches
// a folder once for each run. A plan is kept as the records its journal
// writes (commit_plan.cpp): one encoding to keep, not two, and the most
// compact, some 45 bytes a move of a short name, 70 a replacement.
class CommitPlan {
 public:
  // What a move does to the name `name` in its folder; its letter in the
  // records.
  enum class Kind : char {
    kFolder = 'D',       // a new folder comes in, with all it holds
    kFile = 'N',         // a new file comes in
    kReplacement = 'X',  // a file comes in for the user's file there, kept aside
    kKept = 'S',         // the user's file there stays: the commit checks it unchanged
  };
  struct Move {
    Kind kind;
    std::string_view name;
    FileIdentity in;     // what comes in (not for kKept)
    FileIdentity there;  // what was there (kReplacement; kKept with its change time)
  };
  // The most bytes the records of a plan take: those of 16 Mi moves of
  // 64 bytes. A run never makes a larger one, so a later run never reads
  // a larger journal.
  static constexpr uint64_t kMostBytes = uint64_t{1} << 30;

  // Adds `move`, in the folder `folder`; false, adding nothing, where the
  // plan would outgrow kMostBytes.
  bool add(std::string_view folder, const Move& move);
  bool hasMoves() const { return moves_ != 0; }
  uint64_t replacements() const { return replacements_; }

  // The walks: `reach` is told the folder of each run before its moves go
  // to `visit`; either stops the walk by answering false, which the walk
  // answers then. Forward, in the order the moves were added; backward,
  // the last run first and each run's last move first.
  using Reach = std::function<bool(std::string_view folder)>;
  using Visit = std::function<bool(const Move& move)>;
  bool forward(const Reach& reach, const Visit& visit) const;
  bool backward(const Reach& reach, const Visit& visit) const;

  // The records, as the journal writes them: how many bytes they take, and
  // those from `offset` on, given to `take` a piece at a time while it
  // answers true.
  uint64_t size() const { return size_; }
  bool recordsFrom(uint64_t offset, const std::function<bool(std::string_view)>& take) const;
  // The plan whose records begin `bytes`, which are left past them: they
  // end where a byte is no record's letter, or at the end, where the last
  // record may be cut short (it was never written whole, and is left out).
  // Nothing if a record is not one this plan writes, as in a journal made
  // up to move what it likes (isOurs() in commit_plan.cpp says which are);
  // `staging` is the folder whose tree every item that comes in was made in.
  static std::optional<CommitPlan> read(std::string_view& bytes, const FileIdentity& staging);

 private:
  // The piece a record of `bytes` is written to.
  std::string& room(size_t bytes);

  // The records, in pieces that no record spans, each made with room for
  // many: the plan grows without copying what it holds.
  std::vector<std::string> pieces_;
  uint64_t size_ = 0;
  std::optional<std::string> lastFolder_;  // of the last run
  uint64_t moves_ = 0, replacements_ = 0;
};

}  // namespace vaultcat::platform
