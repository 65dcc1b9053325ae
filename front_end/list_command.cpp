// The list command: `l gcf_file`, the whole tree of the cache.
#include "archive/cache_layout.h"
#include "front_end/command_steps.h"
#include "front_end/directory_listing.h"

namespace vaultcat {

int listCommand(std::span<const std::string_view> args, CacheArchive& archive,
                const CacheTitleTable& titles, TextOutput& out) {
  if (args.size() < 2) {
    out.put("You must supply the location of the gcf file\n");
    return kFailure;
  }
  const std::string archivePath(args[1]);
  if (!openArchive(archive, archivePath, out)) return kFailure;
  Status status = printListing(archive, archivePath, titles, out);
  if (!status.ok()) printDamage(status.damage, out);
  return status.ok() ? kSuccess : kFailure;
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
