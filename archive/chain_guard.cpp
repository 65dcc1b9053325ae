#include "archive/chain_guard.h"

#include <algorithm>
#include <cstdint>

#include "archive/damage_text.h"

namespace vaultcat {

ChainBudget::ChainBudget(const CacheArchive& archive)
    : stepsBackLeft_(archive.blockEntryCount()),
      entriesLeft_(archive.blockEntryCount()),
      dataBlocksLeft_(std::min(archive.dataBlockHeader().dataBlockCount, archive.fragmentCount())) {
}

bool ChainBudget::stepBack(uint32_t item, uint32_t) {
  if (stepsBackLeft_ == 0) return refuse(damage_text::entriesLinkBackInALoop(item));
  --stepsBackLeft_;
  return true;
}

bool ChainBudget::enterEntry(uint32_t) {
  if (entriesLeft_ == 0) return refuse(damage_text::entriesLinkInALoop());
  --entriesLeft_;
  return true;
}

bool ChainBudget::enterBlock(uint32_t) {
  if (dataBlocksLeft_ == 0) return refuse(damage_text::dataBlocksLoop());
  --dataBlocksLeft_;
  return true;
}

ChainOwners::ChainOwners(const CacheArchive& archive)
    : entries_(archive.blockEntryCount()),
      blocks_(std::min(archive.dataBlockHeader().dataBlockCount, archive.fragmentCount())) {}

void ChainOwners::begin(uint32_t item) {
  item_ = item + 1;
  // Past four billion walks the numbers would come round to an old walk's.
  if (walk_ >= UINT32_MAX - 2) {
    for (Owner& owner : entries_) owner.walk = 0;
    for (Owner& owner : blocks_) owner.walk = 0;
    walk_ = 0;
  }
  walk_ += 2;
}

bool ChainOwners::claim(Owner& owner, uint32_t walk) const {
  if (owner.item != 0 && (owner.item != item_ || owner.walk == walk)) return false;
  owner = {item_, walk};
  return true;
}

// The walk back and the walk forward of one file reach the same entries.
bool ChainOwners::stepBack(uint32_t item, uint32_t entry) {
  if (claim(entries_[entry], walk_ - 1)) return true;
  return refuse(entries_[entry].item == item_ ? damage_text::entriesLinkBackInALoop(item)
                                              : damage_text::entryOfAnotherFile(entry));
}

bool ChainOwners::enterEntry(uint32_t entry) {
  if (claim(entries_[entry], walk_)) return true;
  return refuse(entries_[entry].item == item_ ? damage_text::entriesLinkInALoop()
                                              : damage_text::entryOfAnotherFile(entry));
}

bool ChainOwners::enterBlock(uint32_t block) {
  if (claim(blocks_[block], walk_)) return true;
  return refuse(blocks_[block].item == item_ ? damage_text::dataBlocksLoop()
                                             : damage_text::dataBlockOfAnotherFile(block));
}

}  // namespace vaultcat
