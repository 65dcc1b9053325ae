// What keeps a walk along a file's chains from running forever. Every link
// is checked against its table where it is read; a guard is asked besides
// before a walk takes each step, and ends it, with the damage, at a step no
// walk along a sound file's chains would take.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/status.h"

namespace vaultcat {

class ChainGuard {
 public:
  // Whether the walk back from the first entry of `item` in table order may
  // step to `entry`, the walk forward enter block entry `entry`, and enter
  // data block `block`. If not, refusal() says why. (The answer is a bool
  // and not a Status because it is asked at every step of every file.)
  virtual bool stepBack(uint32_t item, uint32_t entry) = 0;
  virtual bool enterEntry(uint32_t entry) = 0;
  virtual bool enterBlock(uint32_t block) = 0;
  const Status& refusal() const { return refusal_; }

 protected:
  ~ChainGuard() = default;
  bool refuse(Status why) {
    refusal_ = std::move(why);
    return false;
  }

 private:
  Status refusal_;
};

// A budget of steps: no file visits a block entry or a data block twice, so
// a walk longer than the cache could hold must loop. Files read together may
// share one budget, since in a sound cache no two files share an entry or a
// block either; once spent, it stays spent for every walk that shares it.
class ChainBudget final : public ChainGuard {
 public:
  explicit ChainBudget(const CacheArchive& archive);
  bool stepBack(uint32_t item, uint32_t entry) override;
  bool enterEntry(uint32_t entry) override;
  bool enterBlock(uint32_t block) override;

 private:
  uint64_t stepsBackLeft_, entriesLeft_, dataBlocksLeft_;
};

// Each block entry and data block belongs to the first file whose walk
// reaches it: a walk that reaches one of another file's, or one of its own
// a second time, is refused. So the walks of all the files of a cache take
// at most as many steps as its tables have entries and blocks, plus one per
// file, and a file whose chains loop, however long, leaves the others their
// own budget. A file may be walked again (begin() once for each walk, back
// and forward).
class ChainOwners final : public ChainGuard {
 public:
  explicit ChainOwners(const CacheArchive& archive);
  // The walks that follow are of `item`'s chains.
  void begin(uint32_t item);
  bool stepBack(uint32_t item, uint32_t entry) override;
  bool enterEntry(uint32_t entry) override;
  bool enterBlock(uint32_t block) override;

 private:
  struct Owner {
    uint32_t item = 0;  // the item plus one; 0 for none
    uint32_t walk = 0;  // the walk that reached it last
  };
  // Whether the current walk may reach what `owner` says of a table's record.
  bool claim(Owner& owner, uint32_t walk) const;

  std::vector<Owner> entries_, blocks_;
  uint32_t item_ = 0;  // the item plus one
  uint32_t walk_ = 0;  // walks are numbered in pairs: back, then forward
};

}  // namespace vaultcat
