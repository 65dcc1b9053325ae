#include "front_end/command_steps.h"

#include "archive/cache_layout.h"
#include "front_end/commands.h"
#include "platform/process.h"

namespace vaultcat {

bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out) {
  if (archive.open(archivePath)) return true;
  out.print("Couldn't open file ", Name{archivePath}, ": ", archive.lastError(), "\n");
  return false;
}

void introduce(const CacheArchive& archive, std::string_view archivePath,
               const CacheTitleTable& titles, TextOutput& out) {
  out.print("Opened ", Name{archivePath}, "\n");
  identifyCache(titles, archive, archivePath, out);
}

std::string damageLine(std::string_view what) {
  return "Corrupt file: " + std::string(what) + ".\n";
}

void printDamage(std::string_view what, TextOutput& out) { out.put(damageLine(what)); }

bool cannotCreate(std::string_view path, TextOutput& out) {
  out.print("Couldn't create file ", Name{path}, " - do all directorys exist?\n");
  return false;
}

bool cannotWrite(std::string_view path, TextOutput& out) {
  out.print("Couldn't write file ", Name{path}, "\n");
  return false;
}

std::optional<ItemArguments> itemArguments(std::span<const std::string_view> args,
                                           std::string_view item, TextOutput& out) {
  if (args.size() < 4) {
    out.print("You must supply the gcf filename, ", item, " and a directory to extract to.\n");
    return std::nullopt;
  }
  if (args[2].size() > kMaxPathLength) {
    out.print("The file path is longer than ", kMaxPathLength, " characters\n");
    return std::nullopt;
  }
  return ItemArguments{std::string(args[1]), args[2], std::string(args[3])};
}

LookupResult findItem(const CacheArchive& archive, std::string_view itemPath, TextOutput& out,
                      std::vector<uint32_t>* trail) {
  return reported(findItemByPath(archive, itemPath, trail), out, "Couldn't find ", Name{itemPath},
                  " in directory\n");
}

}  // namespace vaultcat
