#include "front_end/mounted_cache.h"

#include <algorithm>
#include <utility>

#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "front_end/reports.h"
#include "front_end/tree_plan.h"
#include "platform/destination/names.h"
#include "platform/destination/output_path.h"
#include "platform/process/process.h"

namespace vaultcat {

using platform::Piece;

namespace {

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
      paging_(archive),
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
  const FolderCheck& check = checked(folder, *entry, true);
  // Where the list breaks, a name not found before it may lie after it.
  Answer answer = check.list.breakAt ? Answer::kUnreadable : Answer::kMissing;
  const auto match = [&](const Child& child) {
    paging_.itemRead();
    if (!shown_[child.index].load(std::memory_order_relaxed) ||
        platform::Spelling(child.name).text() != name)
      return false;
    found = attributesOf(child.index, child.entry);
    answer = Answer::kOk;
    return true;
  };
  if (check.byName) {
    const auto [from, to] = std::equal_range(
        check.byName->begin(), check.byName->end(), std::pair<uint32_t, uint32_t>{hashOf(name), 0},
        [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto candidate = from; candidate != to; ++candidate) {
      const uint32_t child = candidate->second;
      const std::optional<DirectoryEntry> childEntry = archive_.directoryEntry(child);
      const std::optional<std::string_view> stored = archive_.itemName(child);
      if (childEntry && stored && match(Child{child, *childEntry, *stored})) break;
    }
    return answer;
  }
  ChildIterator children(archive_, folder, entry->firstChildIndex, 0, check.list);
  Status ignored;
  while (const std::optional<Child> child = children.next(ignored))
    if (match(*child)) break;
  return answer;
}

const MountedCache::FolderCheck& MountedCache::checked(uint32_t folder, const DirectoryEntry& entry,
                                                       bool byName) {
  std::lock_guard<std::mutex> lock(checking_);
  auto found = checked_.find(folder);
  if (found == checked_.end()) found = checked_.emplace(folder, check(folder, entry)).first;
  FolderCheck& check = found->second;
  if (byName && check.list.count > kSearchedInOrder && !check.byName) index(folder, entry, check);
  // The map's elements stay where they are, a list never changes once
  // made, and an index is made once, above: what the caller asked for is
  // read without the lock.
  return check;
}

void MountedCache::index(uint32_t folder, const DirectoryEntry& entry, FolderCheck& check) const {
  auto byName = std::make_unique<std::vector<std::pair<uint32_t, uint32_t>>>();
  ChildIterator children(archive_, folder, entry.firstChildIndex, 0, check.list);
  Status ignored;
  while (const std::optional<Child> child = children.next(ignored)) {
    paging_.itemRead();
    if (shown_[child->index].load(std::memory_order_relaxed))
      byName->emplace_back(hashOf(platform::Spelling(child->name).text()), child->index);
  }
  std::sort(byName->begin(), byName->end());
  check.byName = std::move(byName);
}

MountedCache::FolderCheck MountedCache::check(uint32_t folder, const DirectoryEntry& entry) {
  FolderCheck result;
  FolderNames names;
  ChildIterator children(archive_, folder, entry.firstChildIndex, claimed_);
  Status status;
  while (const std::optional<Child> child = children.next(status)) {
    const bool shown = names.admit(child->name) == FolderNames::Verdict::kWritten;
    shown_[child->index].store(shown, std::memory_order_relaxed);
    ++result.list.count;
    paging_.itemRead();
  }
  if (!status.ok()) result.list.breakAt = children.cursor();
  result.list.damage = std::move(status);
  return result;
}

platform::Answer MountedCache::readFolder(uint64_t folderNode, uint64_t cursor,
                                          const std::function<bool(const Entry&)>& add) {
  uint32_t folder = 0;
  const std::optional<DirectoryEntry> entry = entryOf(folderNode, folder);
  if (!entry || !entry->isFolder()) return Answer::kMissing;
  ChildIterator children(archive_, folder, entry->firstChildIndex, cursor,
                         checked(folder, *entry, false).list);
  Status status;
  while (const std::optional<Child> child = children.next(status)) {
    paging_.itemRead();
    if (!shown_[child->index].load(std::memory_order_relaxed)) continue;
    const Entry shown{attributesOf(child->index, child->entry),
                      platform::Spelling(child->name).text(), children.cursor()};
    if (!add(shown)) break;
  }
  return status.ok() ? Answer::kOk : Answer::kUnreadable;
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

std::optional<uint64_t> MountedCache::countNotShown() {
  // A walk of its own, which shares nothing with the listings but the
  // rule: it may run at any pace without holding them up. It counts, as
  // the tree command checks, names inside a folder not shown too.
  uint64_t notShown = 0;
  std::vector<FolderNames> names;  // of each folder open, by depth
  walkDirectory(archive_, kRootItem, [&](const WalkedItem& item) {
    names.resize(item.depth + 1);
    if (names.back().admit(item.name) != FolderNames::Verdict::kWritten) ++notShown;
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
      out_.print("Not shown: ", *notShown, plural(*notShown, " item"),
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
