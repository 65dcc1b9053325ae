// How the reader words the damage it meets, in one place. Each phrase
// completes the line "Corrupt file: ...." that the front end prints.
#pragma once

#include <cstdint>
#include <string>

#include "archive/cache_layout.h"
#include "archive/status.h"

namespace vaultcat::damage_text {

inline std::string number(uint64_t value) { return std::to_string(value); }

// The directory tree.
inline Status itemOutsideDirectory(uint32_t from, uint32_t to, uint32_t itemCount) {
  return Status::corrupt("item " + number(from) + " links to item " + number(to) +
                         ", outside the directory of " + number(itemCount) + " items");
}
inline Status folderOutsideDirectory(uint32_t folder, uint32_t itemCount) {
  return Status::corrupt("item " + number(folder) + " is outside the directory of " +
                         number(itemCount) + " items");
}
inline Status itemLinksBack(uint32_t from, uint32_t to) {
  return Status::corrupt("item " + number(from) + " links back to item " + number(to) +
                         ", making a loop in the tree");
}
inline Status foldersTooDeep(uint32_t item) {
  return Status::corrupt("folders nest deeper than " + number(kMaxFolderDepth) +
                         " levels at item " + number(item));
}
inline Status badItemName(uint32_t item) {
  return Status::corrupt("the name of item " + number(item) +
                         " starts outside the name table or does not end inside the file "
                         "within " +
                         number(kMaxPathLength) + " characters");
}

// Block entries. `link` says which way the link goes: "links to" or
// "links back to".
inline Status entryOutsideTable(uint32_t from, const char* link, uint32_t to, uint32_t entryCount) {
  return Status::corrupt("block entry " + number(from) + " " + link + " entry " + number(to) +
                         ", outside the table of " + number(entryCount) + " entries");
}
inline Status entriesLinkBackInALoop(uint32_t item) {
  return Status::corrupt("the block entries of item " + number(item) + " link back in a loop");
}
inline Status entriesLinkInALoop() {
  return Status::corrupt("the block entries of the file link in a loop");
}
inline Status entryOfAnotherFile(uint32_t entry) {
  return Status::corrupt("block entry " + number(entry) + " is also on another file's chain");
}

// Data blocks.
inline Status dataBlockOutside(uint32_t block, uint32_t blockCount) {
  return Status::corrupt("data block " + number(block) + " is outside the " + number(blockCount) +
                         " data blocks");
}
inline Status dataBlocksLoop() { return Status::corrupt("the data block chains loop"); }
inline Status dataBlockOfAnotherFile(uint32_t block) {
  return Status::corrupt("data block " + number(block) + " is also in another file's chain");
}
inline Status blockSizeTooLarge(uint32_t blockSize, uint32_t dataBlockSize) {
  return Status::corrupt("the block size of " + number(blockSize) +
                         " bytes is larger than the data blocks of " + number(dataBlockSize) +
                         " bytes");
}

// A file's runs against the size its directory entry records.
inline Status runsOverlap(uint64_t at) {
  return Status::corrupt("the runs of the file overlap at byte " + number(at));
}
inline Status runsPastSize(uint64_t end, uint32_t size) {
  return Status::corrupt("the runs of the file reach byte " + number(end) + ", past the " +
                         number(size) + " bytes its directory entry records");
}

// The cache as a file: it is not what it was when it was opened, or reading
// its mapping faulted (it shrank underneath, or its disk failed).
inline constexpr const char* kCacheUnreadable =
    "the cache changed or could not be read while it was read";

inline Status cacheChanged() { return Status::corrupt("the cache changed while it was read"); }
inline Status cacheUnreadable() { return {Status::Kind::kCacheUnreadable, kCacheUnreadable}; }

}  // namespace vaultcat::damage_text
