// The journal a tree output keeps in its staging folder: its commit plan,
// written as it grows, then how far the commit came. The output takes its
// own commit back from the plan, and a later run into the same destination
// from the journal, when this one was killed or the power cut. For the
// platform's own sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/destination/commit_plan.h"
#include "platform/destination/folder.h"

namespace vaultcat::platform {

class Journal {
 public:
  // How far a commit came, as the last mark says.
  enum class Mark : uint8_t {
    kNone = 0,          // not begun: nothing was moved
    kCommitting = 'C',  // moves may have been made
    kComplete = 'K',    // every move was made, and the run is complete
    kUndoing = 'U',     // a complete run is being taken back
  };
  struct Contents {
    CommitPlan plan;
    Mark last = Mark::kNone;
    bool madeDestination = false;  // the run made the destination it extracted into
  };
  // The most bytes a journal takes: its header, the largest plan, a few
  // marks. A larger file is no journal, and is never read.
  static const uint64_t kMostBytes;

  Journal() = default;
  ~Journal() { close(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal at `at` for `plan`, which must outlive it and
  // only grow, of a run that made its destination where
  // `madeDestination`; false if it cannot be.
  bool create(At at, const CommitPlan& plan, bool madeDestination);
  void close();

  // Writes what the plan gained since the last write, once it fills a few
  // pages.
  void writeSome();
  // Writes all the plan gained, then the mark; false if any of it did not
  // reach the file.
  bool mark(Mark mark);
  // The written records reach the disk.
  bool sync();

  // The journal at `at`, in the staging folder of the run it records, or
  // nothing if there is none, it is damaged before its end, or it is not
  // one this program wrote (CommitPlan::read()). A record cut short at the end, as by a kill in the
  // middle of a write, is one never written: no mark follows it.
  static std::optional<Contents> read(At at);

 private:
  // Writes what the plan gained since the last write; `bytes`.
  bool writePlan();
  bool write(std::string_view bytes);
  // Each system's part: writes all of `bytes` at the end of the file;
  // the whole of the file at `at`, a regular file (never through a link)
  // of kMostBytes at most.
  bool put(std::string_view bytes);
  static std::optional<std::string> readWhole(At at);

  std::intptr_t file_ = -1;
  const CommitPlan* plan_ = nullptr;
  uint64_t written_ = 0;  // of the plan's records
  bool failed_ = false;
};

}  // namespace vaultcat::platform
