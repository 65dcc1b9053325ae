#include "front_end/command_steps.h"

#include "archive/cache_layout.h"
#include "front_end/commands.h"
#include "platform/process/process.h"

namespace vaultcat {

bool openArchive(CacheArchive& archive, const std::string& archivePath, TextOutput& out,
                 CacheArchive::Extent extent) {
  if (archive.open(archivePath, extent)) return true;
  out.print("Couldn't open file ", Name{archivePath}, ": ", archive.lastError(), "\n");
  return false;
}

void sayIfCut(const CacheArchive& archive, TextOutput& out) {
  const uint64_t missing = archive.missingBytes();
  if (missing == 0) return;
  out.print("The cache is ", missing, plural(missing, " byte"),
            " shorter than its header records: the files whose blocks lie past its end are "
            "incomplete.\n");
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

void Shortfall::file(std::string_view path, const FileState& state, TextOutput& out) {
  if (state.kind == FileState::Kind::kIncomplete) {
    ++incompleteFiles;
    out.print("Incomplete file: ", Name{path}, ": ", state.heldBytes, " of ", state.recordedSize,
              " bytes are in the cache.\n");
  } else {
    ++damagedFiles;
    out.print("Corrupt file: ", Name{path}, ": ", state.damage.damage, ".\n");
  }
}

void Shortfall::folder(std::string_view path, const Status& damage, TextOutput& out) {
  ++damagedFolders;
  out.print("Corrupt folder: ", Name{path.empty() ? "/" : path}, ": ", damage.damage, ".\n");
}

void Shortfall::unwritable(std::string_view path, bool folder, std::string_view why,
                           TextOutput& out) {
  ++(folder ? unwritableFolders : unwritableFiles);
  out.print("Unwritable ", folder ? "folder: " : "file: ", Name{path}, ": ", why, ".\n");
}

std::string Shortfall::counts() const {
  std::vector<std::string> parts;
  const auto add = [&](uint64_t count, std::string_view kind, std::string_view noun) {
    if (count > 0)
      parts.push_back(std::to_string(count) + " " + std::string(kind) + plural(count, noun));
  };
  add(damagedFiles, "damaged", " file");
  add(incompleteFiles, "incomplete", " file");
  add(damagedFolders, "damaged", " folder");
  add(unwritableFiles, "unwritable", " file");
  add(unwritableFolders, "unwritable", " folder");
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += i + 1 == parts.size() ? " and " : ", ";
    text += parts[i];
  }
  return text;
}

std::string plural(uint64_t count, std::string_view word) {
  return std::string(word) + (count == 1 ? "" : "s");
}

LookupResult findItem(const CacheArchive& archive, std::string_view itemPath, TextOutput& out,
                      std::vector<uint32_t>* trail) {
  return reported(findItemByPath(archive, itemPath, trail), out, "Couldn't find ", Name{itemPath},
                  " in directory\n");
}

}  // namespace vaultcat
