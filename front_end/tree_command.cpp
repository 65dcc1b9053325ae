// The tree command: `a gcf_file folder dir`, a folder of the cache with
// everything in it, written under a destination at its full path from the
// cache's root, all or nothing.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "archive/cache_archive.h"
#include "archive/cache_layout.h"
#include "archive/extraction_writer.h"
#include "archive/item_lookup.h"
#include "archive/tree_walk.h"
#include "front_end/command_steps.h"
#include "front_end/output_sink.h"
#include "platform/names.h"
#include "platform/output_path.h"
#include "platform/output_tree.h"
#include "platform/process.h"

namespace vaultcat {

namespace {

using Found = platform::OutputTree::Found;
using Place = platform::OutputTree::Place;

// Text that goes nowhere: a tree is reported a file at a time, not a block.
class NoText final : public TextOutput {
 protected:
  bool deliver(std::string_view) override { return true; }
};

// " file" or " files", and so on.
std::string plural(uint64_t count, std::string_view word) {
  return std::string(word) + (count == 1 ? "" : "s");
}

// Items between two calls that let the system take back the pages of the
// cache's tables read so far, which would otherwise stay resident: a tree
// of a million items reads some eighty megabytes of them, twice.
constexpr uint64_t kItemsBetweenForgets = 4096;

class TreeExtraction {
 public:
  TreeExtraction(const CacheArchive& archive, TextOutput& out, std::vector<uint32_t> trail)
      : archive_(archive), out_(out), trail_(std::move(trail)), there_(archive.itemCount()) {}

  int run(const std::string& destination);

 private:
  // One item in the order it is written, folders before what they hold:
  // the folders on the way to the one named, then everything below it.
  struct Item {
    uint32_t index;
    std::string_view name;
    bool folder;
    uint64_t depth;    // 0 for what lies right in the destination
    bool parentThere;  // its folder is at its path under the destination
  };
  template <class Visit>
  bool forEachItem(Visit&& visit);
  bool check();
  bool checkItem(const Item& item);
  bool write();
  bool writeFile(const Item& item, Place place, BlockEntryIndex& index, ChainBudget& budget);
  // Says why the run ends: the cache changed, which explains any failure,
  // or is damaged, or `what` happened to the item visited.
  bool failed(Status status, std::string_view what) {
    if (Status cache = archive_.checkUnchanged(); !cache.ok()) status = cache;
    if (!status.damage.empty()) printDamage(status.damage, out_);
    if (status.kind == Status::Kind::kOutputFailed) out_.print(what, Name{path_}, "\n");
    return false;
  }
  void forgetPages() const {
    if (archive_.mapping() != nullptr) archive_.mapping()->forgetPages();
  }
  bool cannotCreate(const std::string& path) {
    out_.print("Couldn't create file ", Name{path}, " - do all directorys exist?\n");
    return false;
  }

  const CacheArchive& archive_;
  TextOutput& out_;
  std::vector<uint32_t> trail_;  // the items the folder's path leads through; none for the root
  std::vector<bool> there_;      // by item: it is at its path under the destination already
  platform::OutputTree tree_;
  std::string path_;                   // of the item visited, from the destination
  std::vector<size_t> folderLengths_;  // of its folders' paths, by depth
  std::vector<bool> folderThere_;      // whether they are there, by depth
  uint64_t files_ = 0, folders_ = 0, bytes_ = 0, visited_ = 0;
};

// Visits every item, with its path in path_, until `visit` answers false;
// false then, or if the tree is damaged, which is reported.
template <class Visit>
bool TreeExtraction::forEachItem(Visit&& visit) {
  const auto enter = [&](uint32_t index, std::string_view stored, bool folder, uint64_t depth) {
    // Written as this system spells it (on Windows a name may be in the
    // old ANSI code page).
    const platform::Spelling spelled(stored);
    const std::string_view name = spelled.text();
    folderLengths_.resize(depth);
    folderThere_.resize(depth);
    path_.resize(depth == 0 ? 0 : folderLengths_.back());
    if (depth > 0) path_ += '/';
    path_ += name;
    const bool parentThere = depth == 0 ? tree_.destinationExists() : folderThere_.back();
    if (++visited_ % kItemsBetweenForgets == 0) forgetPages();
    if (!visit(Item{index, name, folder, depth, parentThere})) return false;
    if (folder) {
      folderLengths_.push_back(path_.size());
      folderThere_.push_back(there_[index]);
    }
    return true;
  };
  uint64_t depth = 0;
  for (const uint32_t index : trail_) {
    // The item named may be a file; every one before it leads on as a folder.
    const bool folder = index != trail_.back() || archive_.directoryEntry(index)->isFolder();
    if (!enter(index, *archive_.itemName(index), folder, depth++)) return false;
  }
  const uint32_t top = trail_.empty() ? kRootItem : trail_.back();
  if (!archive_.directoryEntry(top)->isFolder()) return true;
  bool going = true;
  const Status walked = walkDirectory(archive_, top, [&](const WalkedItem& item) {
    return going = enter(item.index, item.name, item.folder, depth + item.depth);
  });
  return going && (walked.ok() || failed(walked, ""));
}

// Before anything is written: every name can be made under the destination
// and no two in one folder are the same there, and what is already there
// has the kind the cache gives it.
bool TreeExtraction::check() {
  // The names of each folder open, by depth: a folder's are dropped when
  // the walk leaves it for one at its own depth or above.
  std::vector<std::unordered_set<std::string>> names;
  return forEachItem([&](const Item& item) {
    names.resize(item.depth + 1);
    if (!names.back().insert(platform::nameKey(item.name)).second) return cannotCreate(path_);
    return checkItem(item);
  });
}

bool TreeExtraction::checkItem(const Item& item) {
  if (!platform::isSafeName(item.name)) return cannotCreate(path_);
  const Found found = item.parentThere ? tree_.inspect(path_) : Found::kNothing;
  const Found kind = item.folder ? Found::kFolder : Found::kFile;
  there_[item.index] = found == kind;
  return found == Found::kNothing || found == kind || cannotCreate(path_);
}

bool TreeExtraction::write() {
  BlockEntryIndex index(archive_);
  forgetPages();
  ChainBudget budget = ChainBudget::of(archive_);
  return forEachItem([&](const Item& item) {
    // An interrupt ends the run once the destination is as it was.
    if (platform::interruption() != 0) return false;
    const Place place = !item.parentThere    ? Place::kInNewFolder
                        : there_[item.index] ? Place::kThere
                                             : Place::kNew;
    if (!item.folder) return writeFile(item, place, index, budget);
    ++folders_;
    return tree_.addFolder(path_, place) || cannotCreate(path_);
  });
}

bool TreeExtraction::writeFile(const Item& item, Place place, BlockEntryIndex& index,
                               ChainBudget& budget) {
  if (!tree_.beginFile(path_, place)) return cannotCreate(path_);
  // A file with no block entries has no bytes.
  const LookupResult head = index.headOf(item.index);
  if (!head.status.ok()) return failed(head.status, "");
  OutputSink<platform::OutputTree> sink(tree_);
  NoText blocks;
  if (head.found()) {
    const Status written =
        writeFileData(archive_, sink, static_cast<uint32_t>(head.index), blocks, &budget);
    if (!written.ok()) return failed(written, "Couldn't write file ");
  }
  if (!tree_.endFile()) return failed({Status::Kind::kOutputFailed, {}}, "Couldn't write file ");
  out_.print("Writing ", Name{path_}, " (", sink.size(), plural(sink.size(), " byte"), ")\n");
  bytes_ += sink.size();
  ++files_;
  return true;
}

int TreeExtraction::run(const std::string& destination) {
  if (!tree_.begin(destination, archive_.mapping(), protectedFiles(archive_))) {
    out_.print("Couldn't create file ", Name{destination}, " - do all directorys exist?\n");
    return kFailure;
  }
  if (!check() || !write()) return kFailure;
  if (Status cache = archive_.checkUnchanged(); !cache.ok()) {
    printDamage(cache.damage, out_);
    return kFailure;
  }
  if (!out_.flush()) return kFailure;
  if (!tree_.commit()) {
    out_.print("Couldn't write file ", Name{destination}, "\n");
    return kFailure;
  }
  // The summary and "Success!" reach the user and the tree stays, or
  // neither.
  platform::holdInterruptsToTheEnd();
  out_.print("Extracted ", files_, plural(files_, " file"), " and ", folders_,
             plural(folders_, " folder"), " (", bytes_, plural(bytes_, " byte"), ")\nSuccess!\n");
  if (!out_.flush()) return kFailure;
  tree_.keep();
  return kSuccess;
}

// The folder spellings that name the root: the whole cache.
bool namesRoot(std::string_view folder) {
  return folder.empty() || folder == "/" || folder == "\\";
}

}  // namespace

int treeCommand(std::span<const std::string_view> args, CacheArchive& archive,
                const CacheTitleTable& titles, TextOutput& out) {
  const std::optional<ItemArguments> given = itemArguments(args, "a folder to extract", out);
  if (!given) return kFailure;
  if (!openArchive(archive, given->archivePath, out)) return kFailure;
  introduce(archive, given->archivePath, titles, out);
  // The folder is found as the extract command finds a file.
  std::vector<uint32_t> trail;
  if (!namesRoot(given->itemPath) && !findItem(archive, given->itemPath, out, &trail).found())
    return kFailure;
  return TreeExtraction(archive, out, std::move(trail)).run(given->destination);
}

}  // namespace vaultcat
