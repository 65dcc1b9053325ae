// An open cache as a tree to mount: every answer comes from the cache's own
// tables, and no index of them is built when it is mounted. An item's node
// is its index plus one. What is shown is what the tree command writes:
// names as this system spells them, and of a folder's names only those it
// would write (a safe name, and the first of each name, as a lookup finds
// it), checked when the folder is first listed. A file reads through the
// same checked chains as an extraction; a part its chains do not give (a
// break in them, or a part the cache lacks) fails to read, and the rest
// reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "archive/tree_walk.h"
#include "front_end/text_output.h"
#include "platform/mount/mount.h"

namespace vaultcat {

class MountedCache final : public platform::MountedTree {
 public:
  using Answer = platform::Answer;
  using NodeAttributes = platform::NodeAttributes;

  // `out` is where the serving process says how many names it does not
  // show; `background` lets go of it once that is said.
  MountedCache(const CacheArchive& archive, TextOutput& out, bool background);
  ~MountedCache() { finish(); }

  Answer lookup(uint64_t folder, std::string_view name, NodeAttributes& found) override;
  Answer attributes(uint64_t node, NodeAttributes& found) override;
  Answer readFolder(uint64_t folder, uint64_t cursor,
                    const std::function<bool(const Entry&)>& add) override;
  Answer open(uint64_t node, std::unique_ptr<platform::OpenFile>& file) override;
  // Counts the names not shown, in a thread of its own, and says how many
  // there are, if any.
  void serving() override;
  void finish() override;

  // The items whose names are not shown, up to any damage in the tree;
  // nothing if finish() stopped the count.
  std::optional<uint64_t> countNotShown();

 private:
  // What the first listing of a folder found: its list of children, with
  // where it breaks, if it does.
  struct FolderCheck {
    ChildList list;
    // Of a folder looked in by name that holds many: its names' hashes and
    // items, by hash, made once, at the first lookup.
    std::unique_ptr<const std::vector<std::pair<uint32_t, uint32_t>>> byName;
  };
  std::optional<DirectoryEntry> entryOf(uint64_t node, uint32_t& item) const;
  NodeAttributes attributesOf(uint32_t item, const DirectoryEntry& entry) const;
  // The folder's check, made now if it is the first; with `byName`, with
  // its index, if it is to have one.
  const FolderCheck& checked(uint32_t folder, const DirectoryEntry& entry, bool byName);
  FolderCheck check(uint32_t folder, const DirectoryEntry& entry);
  void index(uint32_t folder, const DirectoryEntry& entry, FolderCheck& check) const;

  const CacheArchive& archive_;
  TextOutput& out_;
  const bool background_;
  TablePaging paging_;   // every item read, from whichever thread, is counted
  std::mutex checking_;  // guards the three below
  std::unordered_map<uint32_t, FolderCheck> checked_;
  LoopGuard claimed_;                     // each item is listed in one folder only
  std::vector<std::atomic<bool>> shown_;  // by item, once its folder is checked
  std::mutex opening_;                    // guards the checker, made at the first open
  std::unique_ptr<FileChecker> checker_;
  std::atomic<bool> stop_{false};
  std::thread counter_;
};

}  // namespace vaultcat
