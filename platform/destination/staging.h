// The staging folder a tree output is written in before its commit,
// directly in the destination: what it holds, and clearing away what a run
// that no longer runs left, its commit taken back from its journal. For
// the platform's own sources.
#pragma once

#include <string>
#include <vector>

#include "platform/destination/folder.h"

namespace vaultcat::platform::staging {

// Its parts: the new tree, where each new item waits at its path until the
// commit moves it in (and where a swap leaves the file it replaced); the
// files moved aside for their replacements, at their paths; the journal.
inline constexpr char kTree[] = "t";
inline constexpr char kOld[] = "o";
inline constexpr char kJournal[] = "j";

// The name of a new staging folder: a temporary name of no target
// (temporary_name.h).
std::string newName();

// What runs into the destination `in` left that no longer run. A folder
// there is one of them only where it proves it: its name is exactly one
// newName() gives, it is a folder (not a link) of the user this process
// runs as, no process holds it, and it holds a journal this program wrote
// (Journal::read()), every move of which is under the destination. Each is
// cleared away, its commit taken back first; anything else named as
// newName() names them is left exactly as it is (kNotOurs). False at the
// first whose commit cannot be taken back, with its name in `kept`;
// `cleared` lists the others.
struct Cleared {
  enum class How { kRemoved, kTookBack, kNotOurs };
  std::string name;
  How how;
  // The run made the destination, and what it moved is taken back: the
  // destination is as that run found it, not there.
  bool madeDestination = false;
};
bool clearLeftovers(const Folder& in, std::vector<Cleared>& cleared, std::string& kept);

}  // namespace vaultcat::platform::staging
