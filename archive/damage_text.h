// How the reader words the damage it meets. Each phrase completes the line
// "Corrupt file: ...." that the front end prints.
#pragma once

#include <cstdint>
#include <string>

#include "archive/cache_archive.h"

namespace vaultcat::damage_text {

// The cache is not what it was when it was opened: its size or times moved.
inline constexpr const char* kCacheChanged = "the cache changed while it was read";
// Reading the mapped cache faulted: it shrank underneath, or its disk failed.
inline constexpr const char* kCacheUnreadable =
    "the cache changed or could not be read while it was read";

inline std::string itemOutsideDirectory(uint32_t from, uint32_t to, uint32_t itemCount) {
  return "item " + std::to_string(from) + " links to item " + std::to_string(to) +
         ", outside the directory of " + std::to_string(itemCount) + " items";
}

inline std::string folderOutsideDirectory(uint32_t folder, uint32_t itemCount) {
  return "item " + std::to_string(folder) + " is outside the directory of " +
         std::to_string(itemCount) + " items";
}

inline std::string badItemName(uint32_t item) {
  return "the name of item " + std::to_string(item) +
         " starts outside the name table or does not end inside the file within " +
         std::to_string(CacheArchive::kMaxNameLength) + " characters";
}

// `link` says which way the link goes: "links to" or "links back to".
inline std::string entryOutsideTable(uint32_t from, const char* link, uint32_t to,
                                     uint32_t entryCount) {
  return "block entry " + std::to_string(from) + " " + link + " entry " + std::to_string(to) +
         ", outside the table of " + std::to_string(entryCount) + " entries";
}

}  // namespace vaultcat::damage_text
