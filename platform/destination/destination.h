// The folder a tree output extracts into, as its parts see it: opened and
// locked for the run, cleared of what killed runs left, and inspected. For
// the platform's own sources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/destination/folder_walk.h"
#include "platform/destination/output_tree.h"
#include "platform/destination/placement.h"
#include "platform/destination/run_lock.h"
#include "platform/process/failure.h"

namespace vaultcat::platform {

// Where the parts of a tree output note why a call failed: the one
// problem the output tells (OutputTree::problem()).
class ProblemNote {
 public:
  explicit ProblemNote(OutputTree::Problem& problem) : problem_(problem) {}
  // Notes `failure` at `path`; false, for the call that fails to answer.
  bool fail(Failure failure, std::string path) const {
    problem_ = {failure, std::move(path)};
    return false;
  }
  // The system call that just failed, at `path`.
  bool failHere(std::string path) const { return fail(Failure::ofSystem(), std::move(path)); }

 private:
  OutputTree::Problem& problem_;
};

// `path` cut before its last part: the folder ("" for the top) and the name.
std::pair<std::string_view, std::string_view> folderAndName(std::string_view path);

class Destination {
 public:
  // `protectedFiles` are never taken as files to replace (placement.h).
  Destination(std::vector<FileIdentity> protectedFiles, ProblemNote note)
      : protectedFiles_(std::move(protectedFiles)), note_(note) {}
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  // Takes `path` as the destination, locked for this run (run_lock.h),
  // then made where it does not exist, and cleared of what killed runs left
  // in it (into `recovered`). False, with the problem noted, as
  // OutputTree::begin() says; a destination it made is removed again then.
  bool open(const std::string& path, std::vector<OutputTree::Recovered>& recovered);
  const Folder& folder() const { return folder_; }
  // Its name in the folder it is in, and its path as the user gave it.
  const std::string& name() const { return name_; }
  const std::string& shown() const { return shown_; }
  // Whether this run made it, or a killed run that made it was taken back
  // whole: a run that fails removes it then, where it is empty.
  bool made() const { return made_.has_value(); }
  // Removes the destination this run made, where it is still there and
  // empty: what a run that fails leaves.
  void unmake();
  // Every folder under the destination, reached from it and checked.
  FolderWalk& walk() { return walk_; }
  // As OutputTree::longestPath().
  uint64_t longestPath() const;

  // What is at `path` (parts joined by '/') under the destination now, and
  // where: kOther with the failure where its folder cannot be reached.
  struct Inspected {
    Found found = Found::kOther;
    Seen seen;
    const Folder* folder = nullptr;
    std::string name;
    Failure failure;
    At at() const { return {*folder, name.c_str()}; }
  };
  Inspected inspectAt(std::string_view path);

 private:
  bool lock(RunLock& lock, const FileIdentity& folder, std::string_view name);
  bool make();
  bool clearLeftovers(std::vector<OutputTree::Recovered>& recovered);

  const std::vector<FileIdentity> protectedFiles_;
  const ProblemNote note_;
  RunLock whereLock_, folderLock_;
  Folder folder_;
  Folder parent_;
  std::string name_;
  std::string shown_;
  std::optional<FileIdentity> made_;
  FolderWalk walk_{folder_};
};

}  // namespace vaultcat::platform
