// Staging folders, on every system.
#include "platform/destination/staging.h"

#include <chrono>

#include "platform/destination/journal.h"
#include "platform/destination/temporary_name.h"
#include "platform/destination/transaction.h"

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
      if (!contents || (moved && !takeBack(contents->plan, folder, in, systemMoves()))) {
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
