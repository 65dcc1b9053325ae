#include "front_end/directory_listing.h"

#include "archive/cache_layout.h"
#include "archive/tree_walk.h"
#include "front_end/command_steps.h"
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

Status printListing(const CacheArchive& archive, std::string_view archivePath,
                    const CacheTitleTable& titles, TextOutput& out) {
  introduce(archive, archivePath, titles, out);
  out.put("Directory listing:\n\n");
  Status status = listDirectory(archive, kRootItem, out);
  // A cache rewritten in place can list short without a fault.
  if (status.ok()) status = archive.checkUnchanged();
  return status;
}

}  // namespace vaultcat
