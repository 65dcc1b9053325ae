// The tree command's plan, run in-process against a destination the test
// makes up: which items go where, what is looked at on disk, and what
// stops the plan before anything is written.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "front_end/tree_plan.h"
#include "reader_fixtures.h"

namespace vaultcat::unittest {
namespace {

using Found = Destination::Found;
using Place = platform::OutputTree::Place;

class MadeUpDestination final : public Destination {
 public:
  MadeUpDestination(bool exists, std::map<std::string, Found> found)
      : exists_(exists), found_(std::move(found)) {}
  bool exists() const override { return exists_; }
  Found inspect(const std::string& path) override {
    inspected += path + "\n";
    const auto it = found_.find(path);
    return it == found_.end() ? Found::kNothing : it->second;
  }
  uint64_t longestPath() const override { return longest; }
  uint64_t longest = UINT64_MAX;
  std::string inspected;

 private:
  bool exists_;
  std::map<std::string, Found> found_;
};

TEST(TreePlan, PlacesEachItemByWhatIsOnDiskAndStopsAtWhatCannotBeMade) {
  CacheBuilder b;
  b.addFile(0, "readme.txt", "r");
  const uint32_t docs = b.addFolder(0, "docs");
  const uint32_t manual = b.addFolder(docs, "manual");
  b.addFile(manual, "guide.txt", "g");
  b.addFile(docs, "notes.txt", "n");
  b.addFile(b.addFolder(0, "data"), "notes.txt", "a name of another folder's");
  LoadedCache cache(b.build());
  ASSERT_TRUE(cache.opened);

  struct Case {
    const char* what;
    bool exists;
    std::map<std::string, Found> found;
    const char* folder;  // "" for the whole cache; several apart by '|'
    // Each item as "path place" (+ in a new folder, = new, ! there), or
    // the path it stops at; then every path looked at on disk.
    std::string items, inspected;
    uint64_t longestPath = UINT64_MAX;  // that the destination takes
  };
  const Case cases[] = {
      {"a destination still to be made: nothing is looked at",
       false,
       {},
       "",
       "readme.txt +\ndocs +\ndocs/manual +\ndocs/manual/guide.txt +\ndocs/notes.txt +\ndata +\n"
       "data/notes.txt +\n",
       ""},
      {"only what lies in folders already there is looked at",
       true,
       {{"docs", Found::kFolder}, {"docs/notes.txt", Found::kFile}, {"data", Found::kFolder}},
       "",
       "readme.txt =\ndocs !\ndocs/manual =\ndocs/manual/guide.txt +\ndocs/notes.txt !\ndata !\n"
       "data/notes.txt =\n",
       "readme.txt\ndocs\ndocs/manual\ndocs/notes.txt\ndata\ndata/notes.txt\n"},
      {"a folder named: the folders on its way, then all it holds",
       true,
       {{"docs", Found::kFolder}},
       "DOCS/manual",
       "docs !\ndocs/manual =\ndocs/manual/guide.txt +\n",
       "docs\ndocs/manual\n"},
      {"a file named", true, {}, "docs\\notes.txt", "docs =\ndocs/notes.txt +\n", "docs\n"},
      {"several named: a folder on their way entered once, one inside another not again",
       true,
       {{"docs", Found::kFolder}},
       "docs/notes.txt|data|DOCS/manual/guide.txt|docs/manual",
       "docs !\ndocs/notes.txt =\ndocs/manual =\ndocs/manual/guide.txt +\ndata =\n"
       "data/notes.txt +\n",
       "docs\ndocs/notes.txt\ndocs/manual\ndata\n"},
      {"a file where the cache has a folder",
       true,
       {{"docs", Found::kFile}},
       "",
       "stops at docs",
       "readme.txt\ndocs\n"},
      {"a folder where the cache has a file",
       true,
       {{"docs", Found::kFolder},
        {"docs/manual", Found::kFolder},
        {"docs/manual/guide.txt", Found::kFolder}},
       "",
       "stops at docs/manual/guide.txt",
       "readme.txt\ndocs\ndocs/manual\ndocs/manual/guide.txt\n"},
      {"something never replaced",
       true,
       {{"readme.txt", Found::kOther}},
       "",
       "stops at readme.txt",
       "readme.txt\n"},
      {"a path one byte longer than the system takes",
       false,
       {},
       "docs/manual",
       "stops at docs/manual/guide.txt",
       "",
       20},
      {"a path as long as the system takes",
       false,
       {},
       "docs/manual",
       "docs +\ndocs/manual +\ndocs/manual/guide.txt +\n",
       "",
       21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::vector<uint32_t>> trails;
    for (std::string_view items = c.folder; !items.empty();) {
      const std::string item(items.substr(0, items.find('|')));
      items.remove_prefix(std::min(items.size(), item.size() + 1));
      ASSERT_TRUE(findItemByPath(cache.archive, item, &trails.emplace_back()).found()) << item;
    }
    MadeUpDestination destination(c.exists, c.found);
    destination.longest = c.longestPath;
    TreePlan plan(cache.archive, trails, destination);
    std::string items;
    const bool checked = plan.forEach([&](const PlannedItem& item) {
      if (plan.check(item)) return true;
      items = "stops at " + item.path;
      return false;
    });
    EXPECT_TRUE(plan.damage().ok());
    EXPECT_EQ(destination.inspected, c.inspected);
    if (checked) {
      EXPECT_TRUE(plan.forEach([&](const PlannedItem& item) {
        items += item.path + (item.place == Place::kInNewFolder ? " +\n"
                              : item.place == Place::kNew       ? " =\n"
                                                                : " !\n");
        return true;
      }));
    }
    EXPECT_EQ(items, c.items);
  }
}

}  // namespace
}  // namespace vaultcat::unittest
