// The walk, on every system: the names are the system's, the rule that a
// path leads to the folder first found there is kept here.
#include "platform/destination/folder_walk.h"

namespace vaultcat::platform {

namespace {

// Whether the folder ending at `end` in `held` is on the way to `path`.
bool leadsTo(std::string_view held, size_t end, std::string_view path) {
  return path.size() >= end && path.substr(0, end) == held.substr(0, end) &&
         (path.size() == end || path[end] == '/');
}

}  // namespace

bool FolderWalk::verify(Failure& failure) const {
  for (size_t i = 0; i < levels_.size(); ++i) {
    const Level& level = levels_[i];
    const std::string name = path_.substr(level.begin, level.end - level.begin);
    FileIdentity there;
    if (!identifyAt({parentOf(i), name.c_str()}, there) || !there.sameFileAs(level.identity)) {
      failure = {Failure::Kind::kChanged};
      return false;
    }
  }
  return true;
}

const Folder* FolderWalk::reach(std::string_view path, Failure& failure) {
  // The folder reached last, again: the items of one folder come one after
  // another, and a check of every folder on the way for each would cost
  // as many calls as the tree is deep.
  if (path == path_) return levels_.empty() ? &top_ : &levels_.back().folder;
  size_t kept = 0;
  while (kept < levels_.size() && leadsTo(path_, levels_[kept].end, path)) ++kept;
  levels_.resize(kept);
  path_.resize(kept == 0 ? 0 : levels_.back().end);
  // What is held was checked when it was opened; it may have been moved
  // since, and a path through it would lead elsewhere.
  if (!verify(failure)) return nullptr;
  size_t begin = path_.size() + (path_.empty() ? 0 : 1);
  while (begin < path.size()) {
    const size_t slash = path.find('/', begin);
    const size_t end = slash == std::string_view::npos ? path.size() : slash;
    const std::string name(path.substr(begin, end - begin));
    if (name.empty() || name == "." || name == "..") {
      failure = {Failure::Kind::kInTheWay};
      return nullptr;
    }
    std::string prefix(path.substr(0, end));
    Level level{begin, end, Folder(), FileIdentity()};
    const auto seen = seen_.find(prefix);
    if (!level.folder.openIn(parentOf(levels_.size()), name)) {
      failure = seen != seen_.end() ? Failure{Failure::Kind::kChanged} : Failure::ofSystem();
      return nullptr;
    }
    if (!level.folder.identify(level.identity)) {
      failure = Failure::ofSystem();
      return nullptr;
    }
    if (seen == seen_.end()) {
      seen_.emplace(std::move(prefix), level.identity);
    } else if (!seen->second.sameFileAs(level.identity)) {
      failure = {Failure::Kind::kChanged};
      return nullptr;
    }
    path_.assign(path.substr(0, end));
    levels_.push_back(std::move(level));
    begin = end + 1;
  }
  return levels_.empty() ? &top_ : &levels_.back().folder;
}

void FolderWalk::expect(std::string_view path, const FileIdentity& identity) {
  seen_.emplace(std::string(path), identity);
}

void FolderWalk::release() {
  levels_.clear();
  path_.clear();
}

}  // namespace vaultcat::platform
