#include "front_end/mounted_cache.h"

#include <algorithm>
#include <utility>

#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "front_end/tree_plan.h"
#include "platform/destination/names.h"
#include "platform/destination/output_path.h"
#include "platform/process/process.h"

namespace vaultcat {

using platform::Piece;

namespace {

// Items read between two calls that let the system take back the pages of
// the cache's tables: a walk over a million items reads some eighty
// megabytes of them, which would otherwise stay in the serving process.
constexpr uint64_t kItemsBetweenForgets = 4096;

// One file opened: served from its map alone.
class OpenedFile final : public platform::OpenFile {
 public:
  explicit OpenedFile(FileMap map) : map_(std::move(map)) {}

  bool whole() const override { return map_.state().whole(); }
  platform::Answer pieces(uint64_t offset, uint64_t length, std::vector<Piece>& out) override {
    return map_.pieces(offset, length, out) ? platform::Answer::kOk : platform::Answer::kUnreadable;
  }

 private:
  const FileMap map_;
};

}  // namespace

MountedCache::MountedCache(const CacheArchive& archive, TextOutput& out, bool background)
    : archive_(archive),
      out_(out),
      background_(background),
      claimed_(archive.itemCount()),
      shown_(archive.itemCount()) {}

std::optional<DirectoryEntry> MountedCache::entryOf(uint64_t node, uint32_t& item) const {
  if (node == 0 || node > archive_.itemCount()) return std::nullopt;
  item = static_cast<uint32_t>(node - 1);
  return archive_.directoryEntry(item);
}

platform::NodeAttributes MountedCache::attributesOf(uint32_t item,
                                                    const DirectoryEntry& entry) const {
  return {uint64_t{item} + 1, entry.isFolder(), entry.isFolder() ? 0 : entry.itemSize};
}

platform::Answer MountedCache::attributes(uint64_t node, NodeAttributes& found) {
  uint32_t item = 0;
  const std::optional<DirectoryEntry> entry = entryOf(node, item);
  if (!entry) return Answer::kMissing;
  found = attributesOf(item, *entry);
  return Answer::kOk;
}

namespace {

// Folders of more children than this are looked in by name through an
// index: find over a million items, which opens every folder by name,
// took 1.2 s with the root's thousand folders searched in stored order.
constexpr uint64_t kSearchedInOrder = 16;

uint32_t hashOf(std::string_view name) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return hash;
}

}  // namespace

platform::Answer MountedCache::lookup(uint64_t folderNode, std::string_view name,
                                      NodeAttributes& found) {
  uint32_t folder = 0;
  const std::optional<DirectoryEntry> entry = entryOf(folderNode, folder);
  if (!entry || !entry->isFolder()) return Answer::kMissing;
  // The names shown are those the folder's check let through.
  const std::vector<std::pair<uint32_t, uint32_t>>* byName = nullptr;
  std::optional<uint64_t> breakAt;
  uint64_t children = 0;
  {
    std::lock_guard<std::mutex> lock(checking_);
    FolderCheck& check = checked(folder, *entry);
    if (check.children > kSearchedInOrder && !check.byName) index(*entry, check);
    byName = check.byName.get();
    breakAt = check.breakAt;
    children = check.children;
  }
  // Where the list breaks, a name not found before it may lie after it.
  Answer answer = breakAt ? Answer::kUnreadable : Answer::kMissing;
  const auto match = [&](uint32_t child) {
    const std::optional<DirectoryEntry> childEntry = archive_.directoryEntry(child);
    const std::optional<std::string_view> stored = archive_.itemName(child);
    pace();
    if (!childEntry || !stored || platform::Spelling(*stored).text() != name) return false;
    found = attributesOf(child, *childEntry);
    answer = Answer::kOk;
    return true;
  };
  if (byName != nullptr) {
    const auto [from, to] = std::equal_range(
        byName->begin(), byName->end(), std::pair<uint32_t, uint32_t>{hashOf(name), 0},
        [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto candidate = from; candidate != to && !match(candidate->second); ++candidate) {
    }
    return answer;
  }
  // The check followed the list to its end or its break: so many steps.
  uint32_t child = entry->firstChildIndex;
  for (uint64_t step = 0; step < children && child != 0; ++step) {
    if (shown_[child].load(std::memory_order_relaxed) && match(child)) break;
    const std::optional<DirectoryEntry> next = archive_.directoryEntry(child);
    if (!next) break;
    child = next->nextSiblingIndex;
  }
  return answer;
}

MountedCache::FolderCheck& MountedCache::checked(uint32_t folder, const DirectoryEntry& entry) {
  auto found = checked_.find(folder);
  if (found == checked_.end()) found = checked_.emplace(folder, check(folder, entry)).first;
  return found->second;
}

void MountedCache::index(const DirectoryEntry& entry, FolderCheck& check) const {
  auto byName = std::make_unique<std::vector<std::pair<uint32_t, uint32_t>>>();
  uint32_t child = entry.firstChildIndex;
  for (uint64_t step = 0; step < check.children && child != 0; ++step) {
    const std::optional<DirectoryEntry> childEntry = archive_.directoryEntry(child);
    const std::optional<std::string_view> stored = archive_.itemName(child);
    if (!childEntry || !stored) break;
    pace();
    if (shown_[child].load(std::memory_order_relaxed))
      byName->emplace_back(hashOf(platform::Spelling(*stored).text()), child);
    child = childEntry->nextSiblingIndex;
  }
  std::sort(byName->begin(), byName->end());
  check.byName = std::move(byName);
}

MountedCache::FolderCheck MountedCache::check(uint32_t folder, const DirectoryEntry& entry) {
  FolderCheck result;
  FolderNames names;
  ChildIterator children(archive_, folder, entry.firstChildIndex, claimed_);
  Status status;
  uint64_t reached = 0;  // the cursor past the last child reached
  while (const std::optional<Child> child = children.next(status)) {
    const bool shown =
        names.admit(platform::Spelling(child->name).text()) == FolderNames::Verdict::kWritten;
    shown_[child->index].store(shown, std::memory_order_relaxed);
    result.notShown += shown ? 0 : 1;
    reached = uint64_t{child->index} + 1;
    ++result.children;
    pace();
  }
  if (!status.ok()) result.breakAt = reached;
  return result;
}

platform::Answer MountedCache::readFolder(uint64_t folderNode, uint64_t cursor,
                                          const std::function<bool(const Entry&)>& add) {
  uint32_t folder = 0;
  const std::optional<DirectoryEntry> entry = entryOf(folderNode, folder);
  if (!entry || !entry->isFolder()) return Answer::kMissing;
  std::optional<uint64_t> breakAt;
  {
    std::lock_guard<std::mutex> lock(checking_);
    breakAt = checked(folder, *entry).breakAt;
  }
  // Each cursor is the item listed last, plus one: its sibling comes next.
  uint64_t steps = 0;
  Answer answer = Answer::kOk;
  for (uint64_t at = cursor;;) {
    if (breakAt && at == *breakAt) {
      answer = Answer::kUnreadable;
      break;
    }
    std::optional<DirectoryEntry> before;
    if (at != 0 && !(before = archive_.directoryEntry(static_cast<uint32_t>(at - 1)))) {
      answer = Answer::kUnreadable;
      break;
    }
    const uint32_t child = at == 0 ? entry->firstChildIndex : before->nextSiblingIndex;
    if (child == 0) break;
    const std::optional<DirectoryEntry> childEntry = archive_.directoryEntry(child);
    const std::optional<std::string_view> stored = archive_.itemName(child);
    // A cursor the folder never gave can lead anywhere, but not for ever.
    if (!childEntry || !stored || ++steps > archive_.itemCount()) {
      answer = Answer::kUnreadable;
      break;
    }
    at = uint64_t{child} + 1;
    pace();
    if (!shown_[child].load(std::memory_order_relaxed)) continue;
    if (!add(Entry{attributesOf(child, *childEntry), platform::Spelling(*stored).text(), at}))
      break;
  }
  return answer;
}

platform::Answer MountedCache::open(uint64_t node, std::unique_ptr<platform::OpenFile>& file) {
  uint32_t item = 0;
  const std::optional<DirectoryEntry> entry = entryOf(node, item);
  if (!entry || entry->isFolder()) return Answer::kMissing;
  // The file's map, as every other command reads the file through; the
  // checker is made at the first open, a pass over the block entries.
  std::lock_guard<std::mutex> lock(opening_);
  if (!checker_) checker_ = std::make_unique<FileChecker>(archive_);
  const FileState state = checker_->check(item);
  file = std::make_unique<OpenedFile>(FileMap(state, checker_->extents()));
  return Answer::kOk;
}

void MountedCache::pace() const {
  if (itemsRead_.fetch_add(1, std::memory_order_relaxed) % kItemsBetweenForgets == 0)
    archive_.forgetPages();
}

std::optional<uint64_t> MountedCache::countNotShown() {
  // A walk of its own, which shares nothing with the listings but the
  // rule: it may run at any pace without holding them up. It counts, as
  // the tree command checks, names inside a folder not shown too.
  uint64_t notShown = 0;
  std::vector<FolderNames> names;  // of each folder open, by depth
  walkDirectory(archive_, kRootItem, [&](const WalkedItem& item) {
    names.resize(item.depth + 1);
    if (names.back().admit(platform::Spelling(item.name).text()) != FolderNames::Verdict::kWritten)
      ++notShown;
    return !stop_.load(std::memory_order_relaxed);
  });
  if (stop_.load()) return std::nullopt;
  return notShown;
}

void MountedCache::serving() {
  // Counting reads the whole tree: the mount answers meanwhile, before it.
  counter_ = std::thread([this] {
    platform::runThisThreadWhenIdle();
    if (const std::optional<uint64_t> notShown = countNotShown(); notShown && *notShown > 0) {
      out_.print("Not shown: ", *notShown, *notShown == 1 ? " item" : " items",
                 ", whose names cannot be file names here or repeat a name before them in "
                 "their folder\n");
      out_.flush();
    }
    if (background_) platform::releaseStandardStreams();
  });
}

void MountedCache::finish() {
  stop_.store(true);
  if (counter_.joinable()) counter_.join();
}

}  // namespace vaultcat
