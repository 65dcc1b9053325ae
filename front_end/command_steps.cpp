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

namespace {
void putWhy(std::string_view why, TextOutput& out) {
  if (!why.empty()) out.print(" (", why, ")");
  out.put('\n');
}
}  // namespace

bool cannotCreate(std::string_view path, TextOutput& out, std::string_view why) {
  out.print("Couldn't create file ", Name{path}, " - do all directorys exist?");
  putWhy(why, out);
  return false;
}

bool cannotWrite(std::string_view path, TextOutput& out, std::string_view why) {
  out.print("Couldn't write file ", Name{path});
  putWhy(why, out);
  return false;
}

std::string failureText(const platform::Failure& failure) {
  using Kind = platform::Failure::Kind;
  switch (failure.kind) {
    case Kind::kSystem:
      return platform::systemErrorText(failure.code);
    case Kind::kChanged:
      return "what is there changed during the run";
    case Kind::kInTheWay:
      return "something that is never replaced is there";
    case Kind::kCannotKeep:
      return "the file system can neither swap two names nor keep the file there to put it back";
    case Kind::kTooLong:
      return "the path is longer than this system takes";
    case Kind::kBusy:
      return "another run is extracting into it";
    case Kind::kCannotTakeBack:
      return "the files it replaced could not be put back";
    case Kind::kNone:
    case Kind::kInterrupted:
      break;
  }
  return {};
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
