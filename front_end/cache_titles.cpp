#include "front_end/cache_titles.h"

namespace vaultcat {

void fillCacheTitles(CacheTitleTable& titles) {
  titles.insert_or_assign(0, "Half-Life engine");
  titles.insert_or_assign(1, "Half-Life");
  titles.insert_or_assign(2, "Half-Life localised");
  titles.insert_or_assign(3, "Platform");
  titles.insert_or_assign(5, "Dedicated server");
  titles.insert_or_assign(31, "Day of Defeat");
  titles.insert_or_assign(51, "Opposing Force");
  titles.insert_or_assign(61, "Ricochet");
  titles.insert_or_assign(92, "Codename Gordon");
}

void identifyCache(const CacheTitleTable& titles, const CacheArchive& archive,
                   std::string_view archivePath, TextOutput& out) {
  // The ID is the file header's, not the directory header's.
  uint32_t cacheId = archive.fileHeader().cacheId;
  if (auto row = titles.find(cacheId); row != titles.end()) {
    out.print("Identified GCF as: ", row->second, "\n\n");
    return;
  }
  // The ID is reported as a signed number, as users have always quoted it.
  out.print("Couldn't identify GCF.\nCache ID was ", static_cast<int32_t>(cacheId),
            ", filename was ", Name{archivePath},
            ".\nPlease send this info to the vaultcat issue tracker so future versions\n"
            "of this program can correctly identify this cache ID.\n\n");
}

}  // namespace vaultcat
