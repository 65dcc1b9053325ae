#include "front_end/command_steps.h"

#include "archive/cache_layout.h"
#include "platform/process/process.h"

namespace vaultcat {

bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out,
                 CacheArchive::Extent extent) {
  if (archive.open(archivePath, extent)) return true;
  out.print("Couldn't open file ", Name{archivePath}, ": ", archive.lastError(), "\n");
  return false;
}

void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out) {
  out.print("Opened ", Name{archivePath}, "\n");
  identifyCache(titles, archive, archivePath, out);
}

int sayIfOutputLost(int status, TextOutput& out) {
  if (status != kSuccess && platform::standardOutputLost())
    out.sayAside(
        "vaultcat: standard output can no longer be written, so the run stopped and nothing "
        "was changed\n");
  return status;
}

std::optional<std::string> cacheArgument(std::span<const std::string_view> args, TextOutput& out) {
  if (args.size() < 2) {
    out.put("You must supply the location of the gcf file\n");
    return std::nullopt;
  }
  return std::string(args[1]);
}

std::optional<ItemArguments> itemArguments(std::span<const std::string_view> args,
                                           std::string_view item, bool several, TextOutput& out) {
  if (args.size() < 4) {
    out.print("You must supply the gcf filename, ", item, " and a directory to extract to.\n");
    return std::nullopt;
  }
  const size_t destination = several ? args.size() - 1 : 3;
  ItemArguments given{std::string(args[1]), {}, std::string(args[destination])};
  for (const std::string_view itemPath : args.subspan(2, destination - 2)) {
    if (itemPath.size() > kMaxPathLength) {
      out.print("The file path is longer than ", kMaxPathLength, " characters\n");
      return std::nullopt;
    }
    given.itemPaths.push_back(itemPath);
  }
  return given;
}

std::optional<std::vector<uint32_t>> findFolder(const CacheArchive& archive,
                                                std::string_view folder, TextOutput& out) {
  std::vector<uint32_t> trail;
  const size_t first = folder.find_first_not_of("/\\");
  if (first == std::string_view::npos) return trail;
  const std::string_view path = folder.substr(first, folder.find_last_not_of("/\\") + 1 - first);
  // The rest is found as the extract command finds a file.
  if (!findItem(archive, path, out, &trail).found()) return std::nullopt;
  return trail;
}

LookupResult findItem(const CacheArchive& archive, std::string_view itemPath, TextOutput& out,
                      std::vector<uint32_t>* trail) {
  return reported(findItemByPath(archive, itemPath, trail), out, "Couldn't find ", Name{itemPath},
                  " in directory\n");
}

LookupResult findFirstBlockEntry(const CacheArchive& archive, uint32_t item,
                                 std::string_view itemPath, TextOutput& out) {
  return reported(findBlockEntryForItem(archive, item), out, "No block entry for ", Name{itemPath},
                  "\nDid you try to extract a directory?\n");
}

}  // namespace vaultcat
