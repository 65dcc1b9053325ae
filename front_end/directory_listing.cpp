#include "front_end/directory_listing.h"

#include "archive/tree_walk.h"
#include "platform/destination/names.h"

namespace vaultcat {

Status listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out) {
  return walkDirectory(archive, folderIndex, [&out](const WalkedItem& item) {
    out.putSpaces(2 * item.depth);
    out.putName(platform::Spelling(item.name).text());
    out.put(item.folder ? "\\\n" : "\n");
    return true;
  });
}

}  // namespace vaultcat
