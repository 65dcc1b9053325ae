#include "front_end/mounted_cache.h"

#include <algorithm>
#include <utility>

#include "archive/extraction_writer.h"
#include "archive/file_check.h"
#include "archive/item_lookup.h"
#include "front_end/tree_plan.h"
#include "platform/names.h"
#include "platform/output_path.h"
#include "platform/process.h"

namespace vaultcat {

using platform::Piece;

namespace {

// Items read between two calls that let the system take back the pages of
// the cache's tables: a walk over a million items reads some eighty
// megabytes of them, which would otherwise stay in the serving process.
constexpr uint64_t kItemsBetweenForgets = 4096;

// Bytes [offset, offset + length) of a file lie at `at` in the cache.
struct Extent {
  uint64_t offset;
  uint64_t at;
  uint64_t length;

  uint64_t end() const { return offset + length; }
};

// Takes down where the chains put each piece, and reads none of them.
class ExtentSink final : public DataSink {
 public:
  explicit ExtentSink(std::vector<Extent>& extents) : extents_(extents) {}
  Status writeAt(uint64_t offset, std::span<const Piece> pieces) override {
    for (const Piece& piece : pieces) {
      if (piece.length > 0) extents_.push_back({offset, piece.offset, piece.length});
      offset += piece.length;
    }
    return {};
  }

 private:
  std::vector<Extent>& extents_;
};

// The bytes that exactly one extent gives: of a byte two runs give, which
// is the file's cannot be told (a sound cache has none).
std::vector<Extent> givenOnce(std::vector<Extent> extents) {
  const auto byOffset = [](const Extent& a, const Extent& b) { return a.offset < b.offset; };
  std::sort(extents.begin(), extents.end(), byOffset);
  bool overlap = false;
  for (size_t i = 1; i < extents.size() && !overlap; ++i)
    overlap = extents[i].offset < extents[i - 1].end();
  if (!overlap) return extents;
  // Where each extent starts and ends; between two such points the bytes
  // are given once where one extent is open, and it is the one whose index
  // is the sum of the open ones.
  std::vector<std::pair<uint64_t, int64_t>> points;  // position, +index+1 or -(index+1)
  for (size_t i = 0; i < extents.size(); ++i) {
    points.emplace_back(extents[i].offset, static_cast<int64_t>(i) + 1);
    points.emplace_back(extents[i].end(), -static_cast<int64_t>(i) - 1);
  }
  std::sort(points.begin(), points.end());
  std::vector<Extent> once;
  int64_t open = 0, sum = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    open += points[i].second > 0 ? 1 : -1;
    sum += points[i].second;
    const bool last = i + 1 == points.size() || points[i + 1].first != points[i].first;
    if (!last || open != 1 || i + 1 == points.size()) continue;
    const Extent& giver = extents[static_cast<size_t>(sum - 1)];
    const uint64_t from = points[i].first, to = points[i + 1].first;
    once.push_back({from, giver.at + (from - giver.offset), to - from});
  }
  return once;
}

// One file opened: where each of its bytes lies in the cache, as far as
// its chains can be followed.
class FileMap final : public platform::OpenFile {
 public:
  FileMap(std::vector<Extent> extents, uint64_t size, bool whole)
      : extents_(givenOnce(std::move(extents))), size_(size), whole_(whole) {}

  bool whole() const override { return whole_; }

  platform::Answer pieces(uint64_t offset, uint64_t length, std::vector<Piece>& out) override {
    if (offset >= size_) return platform::Answer::kOk;
    const uint64_t end = offset + std::min(length, size_ - offset);
    auto extent = std::upper_bound(extents_.begin(), extents_.end(), offset,
                                   [](uint64_t at, const Extent& e) { return at < e.offset; });
    if (extent == extents_.begin()) return platform::Answer::kUnreadable;
    --extent;
    for (uint64_t at = offset; at < end; ++extent) {
      if (extent == extents_.end() || extent->offset > at || extent->end() <= at)
        return platform::Answer::kUnreadable;
      const uint64_t skip = at - extent->offset;
      const uint64_t take = std::min(extent->length - skip, end - at);
      out.push_back({extent->at + skip, take});
      at += take;
    }
    return platform::Answer::kOk;
  }

 private:
  const std::vector<Extent> extents_;  // by offset, none overlapping
  const uint64_t size_;
  const bool whole_;
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
  // Whether the cache holds it whole, as the other commands find it; made
  // at the first open, each a pass over the block entries.
  FileState state;
  {
    std::lock_guard<std::mutex> lock(opening_);
    if (!checker_) {
      checker_ = std::make_unique<FileChecker>(archive_);
      heads_ = std::make_unique<BlockEntryIndex>(archive_);
    }
    state = checker_->check(item);
  }
  // Where its bytes lie, as far as its chains can be followed: damage on
  // the way leaves what came before it readable. A file with no block
  // entries holds no bytes.
  std::vector<Extent> extents;
  ChainBudget budget(archive_);
  const LookupResult head = heads_->headOf(item, budget);
  if (head.found()) {
    ExtentSink sink(extents);
    writeFileData(archive_, sink, static_cast<uint32_t>(head.index), nullptr, &budget);
  }
  file = std::make_unique<FileMap>(std::move(extents), entry->itemSize, state.whole());
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
