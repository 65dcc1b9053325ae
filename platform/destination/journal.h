// The journal a tree output keeps in its staging folder: each move its
// commit will make, with the identity of what it puts in place and of what
// it replaces, then how far the commit came. The output takes its own
// commit back from it, and so does a later run into the same destination
// when this one was killed or the power cut. For the platform's own
// sources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/process/file_identity.h"

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

  // One move, as read back.
  struct Step {
    uint32_t folder;  // an index into `folders`
    uint32_t name;    // an offset into `names`, ended by a NUL
    FileIdentity placed;
    bool replaces;
    FileIdentity replaced;
  };
  struct Contents {
    std::vector<std::string> folders;  // from the top, "" for the top itself
    std::string names;
    std::vector<Step> steps;
    // The tree moved in as the destination itself, where it was new: its
    // name there, and what was moved.
    std::optional<std::string> rootName;
    FileIdentity root;
    Mark last = Mark::kNone;
  };

  Journal() = default;
  ~Journal() { close(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Creates the journal at `at`; false if it cannot be.
  bool create(At at);
  void close();

  // Records, held until written: the folder of the moves that follow, a
  // move of `name` there, the tree moved in as the destination `name`.
  void noteFolder(std::string_view folder);
  void noteStep(std::string_view name, const FileIdentity& placed, const FileIdentity* replaced);
  void noteRoot(std::string_view name, const FileIdentity& placed);
  // Writes what is held, then the mark; false if any of it did not reach
  // the file.
  bool mark(Mark mark);
  bool write();
  // The written records reach the disk.
  bool sync();

  // The journal at `at`, or nothing if there is none or it is damaged
  // before its end. A record cut short at the end, as by a kill in the
  // middle of a write, is one never written: no mark follows it.
  static std::optional<Contents> read(At at);

 private:
  // Each system's part: the whole of the file at `at`.
  static std::optional<std::string> readWhole(At at);

  std::intptr_t file_ = -1;
  std::string held_;
  bool failed_ = false;
};

}  // namespace vaultcat::platform
