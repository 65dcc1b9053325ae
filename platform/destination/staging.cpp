// Staging folders, on every system.
#include "platform/destination/staging.h"

#include <chrono>

#include "platform/destination/folder_walk.h"
#include "platform/destination/placement.h"
#include "platform/destination/temporary_name.h"

namespace vaultcat::platform::staging {

namespace {

// Whether `name` has the shape newName(destinationName) gives: the same
// but for its tag.
bool isStagingName(std::string_view name, std::string_view destinationName) {
  const std::string shape = newName(destinationName);
  constexpr size_t kTag = 8;
  return name.size() == shape.size() && name.substr(0, shape.size() - kTag) ==
                                            std::string_view(shape).substr(0, shape.size() - kTag);
}

}  // namespace

std::string newName(std::string_view destinationName) { return temporaryName(destinationName); }

bool takeBack(const Journal::Contents& journal, const Folder& folder, const Folder& top) {
  bool whole = true;
  if (journal.rootName)
    whole = platform::takeBack({folder, kTree}, {top, journal.rootName->c_str()}, {folder, kTree},
                               journal.root, nullptr);
  if (journal.steps.empty()) return whole;
  Folder tree, old;
  if (!tree.openIn(folder, kTree) || !old.openIn(folder, kOld)) return false;
  FolderWalk destination(top), staged(tree), kept(old);
  const Folder *target = nullptr, *temporary = nullptr, *backup = nullptr;
  uint32_t reached = UINT32_MAX;
  // Each is taken back that can be, even past one that cannot.
  for (size_t i = journal.steps.size(); i-- > 0;) {
    const Journal::Step& step = journal.steps[i];
    if (step.folder != reached) {
      const std::string& path = journal.folders[step.folder];
      Failure failure;
      target = destination.reach(path, failure);
      temporary = staged.reach(path, failure);
      backup = kept.reach(path, failure);
      reached = step.folder;
    }
    const char* name = journal.names.c_str() + step.name;
    if (temporary == nullptr || (step.replaces && backup == nullptr)) {
      whole = false;
      continue;
    }
    const Folder& aside = step.replaces ? *backup : *temporary;
    if (target == nullptr) {
      // The folder it was to go to is no longer where it was: fine where
      // the move was never made.
      whole = whole && isAt({*temporary, name}, step.placed) &&
              !(step.replaces && isAt({aside, name}, step.replaced));
      continue;
    }
    whole = platform::takeBack({*temporary, name}, {*target, name}, {aside, name}, step.placed,
                               step.replaces ? &step.replaced : nullptr) &&
            whole;
  }
  return whole;
}

bool clearLeftovers(const Folder& in, std::string_view destinationName,
                    std::vector<Cleared>& cleared, std::string& kept) {
  const std::string shape = newName(destinationName);
  for (const std::string& name : namesIn(in, std::string_view(shape).substr(0, shape.size() - 8))) {
    if (!isStagingName(name, destinationName)) continue;
    Folder folder;
    // Not a folder, a link, another user's, or another run's that still runs.
    if (!folder.openIn(in, name) || !ownedByThisProcess(folder) ||
        folder.lock(std::chrono::milliseconds(0)) != Folder::Locked::kLocked)
      continue;
    bool tookBack = false;
    FileIdentity journal;
    if (identifyAt({folder, kJournal}, journal)) {
      const std::optional<Journal::Contents> contents = Journal::read({folder, kJournal});
      const bool moved = contents && (contents->last == Journal::Mark::kCommitting ||
                                      contents->last == Journal::Mark::kUndoing);
      if (!contents || (moved && !takeBack(*contents, folder, in))) {
        kept = name;
        return false;
      }
      tookBack = moved;
      // Nothing left in the folder is the user's now.
      removeFile({folder, kJournal});
    }
    folder.close();
    removeTree({in, name.c_str()});
    cleared.push_back({name, tookBack});
  }
  return true;
}

}  // namespace vaultcat::platform::staging
