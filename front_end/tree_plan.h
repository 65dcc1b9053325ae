// What a tree extraction writes: which items, in which order, under which
// names and where, and whether every one of them can be written, found
// before anything is. The tree command carries the plan out; a test runs
// it against a destination of its own, and the fuzzer on any bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/status.h"
#include "archive/tree_walk.h"
#include "platform/destination/output_tree.h"

namespace vaultcat {

// The names of one folder as the tree command writes them: each a safe
// name, and none the system would take for a name before it in the folder
// (the first of them is written, and found). The mount shows the same.
class FolderNames {
 public:
  enum class Verdict { kWritten, kSameName, kUnsafeName, kOwnName, kNameTooLong };
  // What becomes of the name `stored` in the cache, the next in the
  // folder, written as this system spells it.
  Verdict admit(std::string_view stored);

 private:
  std::unordered_set<std::string> keys_;
};

// What the plan needs to know of the destination. The tree output answers
// from the disk; a test answers as it likes.
class Destination {
 public:
  using Found = platform::OutputTree::Found;
  // Whether the destination folder itself exists.
  virtual bool exists() const = 0;
  // What is at `path` (parts joined by '/') under the destination now.
  virtual Found inspect(const std::string& path) = 0;
  // The longest path under the destination, in bytes, that the system
  // takes.
  virtual uint64_t longestPath() const = 0;

 protected:
  ~Destination() = default;
};

// A destination that exists and holds nothing: for a pass that writes
// nothing, or a plan that checks every name it would write.
class EmptyDestination final : public Destination {
 public:
  bool exists() const override { return true; }
  Found inspect(const std::string&) override { return Found::kNothing; }
  uint64_t longestPath() const override { return UINT64_MAX; }
};

// One item as the plan visits it.
struct PlannedItem {
  uint32_t index;
  bool folder;
  uint64_t depth;           // 0 for what lies right in the destination
  std::string_view name;    // as this system spells it
  std::string_view stored;  // as the cache stores it
  const std::string& path;  // from the destination, parts joined by '/'
  // Where it goes, once check() has seen every item: kInNewFolder whenever
  // its folder is not in the destination.
  platform::OutputTree::Place place;
};

class TreePlan {
 public:
  // Each of `trails` holds the items the path of one item to extract leads
  // through, that item last; an empty one, or none at all, is the whole
  // cache. An item inside another, or named twice, is written once.
  TreePlan(const CacheArchive& archive, const std::vector<std::vector<uint32_t>>& trails,
           Destination& destination);

  // Visits every item in the order it is written, folders before what they
  // hold: for each item, the folders on its way not visited yet, the item,
  // then everything below it; items that share folders on their way come
  // one after another, in the order first named. False when `visit`
  // answers false, or when the tree is damaged, which damage() then says.
  // With `damagedFolder`, a folder whose contents cannot all be followed is
  // handed to it (its path, "" for the root, and the damage) and, if it
  // answers true, the pass leaves out the rest of that folder and goes on.
  using DamagedFolder = std::function<bool(const std::string& path, const Status& damage)>;
  bool forEach(const std::function<bool(const PlannedItem&)>& visit,
               const DamagedFolder& damagedFolder = {});
  const Status& damage() const { return damage_; }
  // Leaves `item` out of the run, with all it holds: from here on no pass
  // visits it, nor anything in it.
  void leaveOut(uint32_t item) { leftOut_[item] = true; }
  bool leftOut(uint32_t item) const { return leftOut_[item]; }

  // The checks before anything is written, of each item a pass of
  // forEach() visits, in turn: its name can be made under the destination,
  // no item before it in its folder has the same name there, its path is
  // one the system takes, and what is already at its path has the kind the
  // cache gives it. False if it fails one, which refusal() then says. What
  // is there is remembered for the places of later passes.
  bool check(const PlannedItem& item);
  enum class Refusal {
    kNone,
    kUnsafeName,   // a name no output may have (platform/destination/output_path.h)
    kOwnName,      // a name of the shape this program gives its own hidden folders
    kSameName,     // an item before it in its folder has its name
    kNameTooLong,  // its name is longer than the system takes
    kTooLong,      // its path is longer than the system takes
    kFolderThere,  // a folder is where the cache has a file
    kFileThere,    // a file is where the cache has a folder
    kOtherThere,   // a link, a device, or a file that may not be replaced
  };
  Refusal refusal() const { return refusal_; }
  // Whether the refusal is of the name or path alone, not of what is on
  // the disk: an item a salvage can leave out and go on.
  bool refusedName() const {
    return refusal_ == Refusal::kUnsafeName || refusal_ == Refusal::kOwnName ||
           refusal_ == Refusal::kSameName || refusal_ == Refusal::kNameTooLong ||
           refusal_ == Refusal::kTooLong;
  }

 private:
  Walk enter(uint32_t index, std::string_view stored, bool folder, uint64_t depth,
             const std::function<bool(const PlannedItem&)>& visit);
  bool walkBelow(uint32_t folder, uint64_t depth,
                 const std::function<bool(const PlannedItem&)>& visit,
                 const DamagedFolder& damagedFolder);

  const CacheArchive& archive_;
  // What a pass enters before it walks: each folder on the way once, and
  // each item named, with the depth it is at; none for the whole cache.
  struct Step {
    uint32_t index;
    uint64_t depth;
    bool named;  // an item to extract, not only a folder on the way
  };
  std::vector<Step> steps_;
  Destination& destination_;
  std::vector<bool> alreadyThere_;  // by item: it is at its path under the destination
  std::vector<bool> leftOut_;       // by item: no pass visits it
  Status damage_;
  Refusal refusal_ = Refusal::kNone;
  // Of the item visited and its folders, by depth:
  std::string path_;
  struct OpenFolder {
    size_t pathLength;
    bool there;
    bool leftOut;
  };
  std::vector<OpenFolder> openFolders_;
  std::vector<FolderNames> namesChecked_;
};

}  // namespace vaultcat
