// Staging folders, on every system.
#include "platform/destination/staging.h"

#include <chrono>
#include <optional>
#include <string_view>

#include "platform/destination/journal.h"
#include "platform/destination/temporary_name.h"
#include "platform/destination/transaction.h"

namespace vaultcat::platform::staging {

namespace {

using How = Cleared::How;

bool isStagingName(std::string_view name) {
  std::string_view target;
  return isTemporaryName(name, target) && target.empty();
}

// Whether the folder `name` in `in` is a staging folder of this user's
// that no run holds, as clearLeftovers() says: opened and held as `folder`,
// with its journal in `contents`; kHeld where a run still holds it.
enum class Proof { kOurs, kNotOurs, kHeld };
Proof prove(const Folder& in, const std::string& name, Folder& folder,
            std::optional<Journal::Contents>& contents) {
  if (!isStagingName(name) || !folder.openIn(in, name) || !ownedByThisProcess(folder))
    return Proof::kNotOurs;
  if (folder.lock(std::chrono::milliseconds(0)) != Folder::Locked::kLocked) return Proof::kHeld;
  contents = Journal::read({folder, kJournal});
  return contents ? Proof::kOurs : Proof::kNotOurs;
}

}  // namespace

std::string newName() { return temporaryName(""); }

bool clearLeftovers(const Folder& in, std::vector<Cleared>& cleared, std::string& kept) {
  const std::string shape = newName();
  for (const std::string& name :
       namesIn(in, std::string_view(shape).substr(0, shape.size() - kTagLength))) {
    Folder folder;
    std::optional<Journal::Contents> contents;
    switch (prove(in, name, folder, contents)) {
      case Proof::kHeld:
        continue;
      case Proof::kNotOurs:
        // A name of the user's own that only begins as ours is no leftover.
        if (isStagingName(name)) cleared.push_back({name, How::kNotOurs});
        continue;
      case Proof::kOurs:
        break;
    }
    const bool moved =
        contents->last == Journal::Mark::kCommitting || contents->last == Journal::Mark::kUndoing;
    if (moved && !takeBack(contents->plan, folder, in, systemMoves())) {
      kept = name;
      return false;
    }
    // Nothing left in the folder is the user's now.
    removeFile({folder, kJournal});
    folder.close();
    removeTree({in, name.c_str()});
    cleared.push_back({name, moved ? How::kTookBack : How::kRemoved,
                       contents->madeDestination && contents->last != Journal::Mark::kComplete});
  }
  return true;
}

}  // namespace vaultcat::platform::staging
