// The staging folder a tree output is written in before its commit: what
// it holds, and clearing away what a run that no longer runs left, its
// commit taken back from its journal. For the platform's own sources.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/destination/folder.h"

namespace vaultcat::platform::staging {

// Its parts: the new tree, where each new item waits at its path until the
// commit moves it in (and where a swap leaves the file it replaced); the
// files moved aside for their replacements, at their paths; the journal.
inline constexpr char kTree[] = "t";
inline constexpr char kOld[] = "o";
inline constexpr char kJournal[] = "j";

// The name of a new staging folder in the destination (for an empty
// `destinationName`) or beside it.
std::string newName(std::string_view destinationName);

// What runs into a destination left that no longer run: the staging
// folders in `in` (the destination, or the folder it is in) named as
// newName(destinationName) names them, each cleared away, its commit taken
// back first. A staging folder another process holds is left to it, and so
// is one that is not this user's. False at the first that cannot be taken
// back, with its name in `kept`; `cleared` lists the others.
struct Cleared {
  std::string name;
  bool tookBack;
};
bool clearLeftovers(const Folder& in, std::string_view destinationName,
                    std::vector<Cleared>& cleared, std::string& kept);

}  // namespace vaultcat::platform::staging
