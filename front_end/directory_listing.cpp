#include "front_end/directory_listing.h"

#include <optional>
#include <string>

#include "archive/tree_walk.h"
#include "platform/output_path.h"

namespace vaultcat {

Status listDirectory(const CacheArchive& archive, uint32_t folderIndex, TextOutput& out) {
  return walkDirectory(archive, folderIndex, [&out](const WalkedItem& item) {
    out.putSpaces(2 * item.depth);
    // As the system spells the name, which is its bytes but on Windows.
    const std::optional<std::string> spelled = platform::otherSpelling(item.name);
    out.putName(spelled ? std::string_view(*spelled) : item.name);
    out.put(item.folder ? "\\\n" : "\n");
    return true;
  });
}

}  // namespace vaultcat
