#include "front_end/reports.h"

#include <vector>

namespace vaultcat {

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
    case Kind::kTooMany:
      return "the run would move more items than it can take back";
    case Kind::kNone:
    case Kind::kInterrupted:
      break;
  }
  return {};
}

void sayIfCut(const CacheArchive& archive, TextOutput& out) {
  const uint64_t missing = archive.missingBytes();
  if (missing == 0) return;
  out.print("The cache is ", missing, plural(missing, " byte"),
            " shorter than its header records: the files whose blocks lie past its end are "
            "incomplete.\n");
}

namespace {
void putIncomplete(std::string_view path, const FileState& state, std::string_view after,
                   TextOutput& out) {
  out.print("Incomplete file: ", Name{path}, ": ", state.heldBytes, " of ", state.recordedSize,
            " bytes are in the cache", after, ".\n");
}
}  // namespace

void Shortfall::file(std::string_view path, const FileState& state, TextOutput& out) {
  if (state.kind == FileState::Kind::kIncomplete) {
    ++incompleteFiles;
    putIncomplete(path, state, "", out);
  } else {
    ++damagedFiles;
    out.print("Corrupt file: ", Name{path}, ": ", state.damage.damage, ".\n");
  }
}

void Shortfall::part(std::string_view path, const FileState& state, bool joined, TextOutput& out) {
  ++partFiles;
  out.print("Incomplete file: ", Name{path}, ": written in part, ", state.heldBytes, " of ",
            state.recordedSize, " bytes", joined ? ", added to the part already there" : "", ".\n");
}

void Shortfall::partKept(std::string_view path, const FileState& state, bool holdsThem,
                         TextOutput& out) {
  ++incompleteFiles;
  putIncomplete(path, state,
                holdsThem ? "; the file already there holds them all"
                          : "; the file already there differs, and is left as it is",
                out);
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

std::string Shortfall::outcome() const {
  const std::string leftOut = counts();
  std::string text = leftOut.empty() ? "" : "left out " + leftOut;
  if (partFiles > 0)
    text += (text.empty() ? "wrote " : "; wrote ") + std::to_string(partFiles) +
            plural(partFiles, " file") + " in part";
  return text;
}

std::string plural(uint64_t count, std::string_view word) {
  return std::string(word) + (count == 1 ? "" : "s");
}

}  // namespace vaultcat
