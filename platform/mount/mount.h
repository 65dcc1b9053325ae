// A tree served read-only at a folder, to every program on the system: on
// POSIX systems a FUSE mount through libfuse 3 (mount_posix.cpp), where the
// build found it; on Windows none (mount_win32.cpp).
//
// The tree is anything that answers the questions below, asked from many
// threads at once: the front end answers them from a cache's own tables.
// Every answer that reads the cache is given only while the cache is still
// as it was opened; once it is not, every request fails with EIO.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/source/piece.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

// Node 1 is the root; a node's number is also its inode number.
inline constexpr uint64_t kRootNode = 1;

struct NodeAttributes {
  uint64_t node = 0;
  bool folder = false;
  uint64_t size = 0;  // of a file; 0 for a folder
};

// How a question was answered: the system's ENOENT and EIO.
enum class Answer { kOk, kMissing, kUnreadable };

// One file opened: where its bytes lie in the cache.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Whether every byte of the file is in the cache. A file that is not is
  // read as each reader asks, not a page at a time, so that the bytes it
  // has read wherever a reader asks for them alone.
  virtual bool whole() const = 0;
  // The pieces of the cache that hold bytes [offset, offset + length) of
  // the file, in order, stopping at its end; kUnreadable, with the pieces
  // before it, at the first of those bytes that is not in the cache
  // (damage, or a part the cache lacks).
  virtual Answer pieces(uint64_t offset, uint64_t length, std::vector<Piece>& out) = 0;
};

class MountedTree {
 public:
  struct Entry {
    NodeAttributes attributes;
    std::string_view name;
    uint64_t next;  // the cursor that goes on after this entry; never 0
  };

  // The child of folder `folder` named exactly `name`.
  virtual Answer lookup(uint64_t folder, std::string_view name, NodeAttributes& found) = 0;
  virtual Answer attributes(uint64_t node, NodeAttributes& found) = 0;
  // Hands the entries of folder `folder` from `cursor` on (0: from its
  // first) to `add`, in order, until it answers false or the folder ends.
  // kUnreadable where the folder's list cannot be followed further.
  virtual Answer readFolder(uint64_t folder, uint64_t cursor,
                            const std::function<bool(const Entry&)>& add) = 0;
  virtual Answer open(uint64_t node, std::unique_ptr<OpenFile>& file) = 0;
  // Called once in the process that serves, once the caller has returned
  // (in the foreground, once the mount is in place): it may start work of
  // its own, and print, until finish() is called, when the mount has ended.
  virtual void serving() = 0;
  virtual void finish() = 0;

 protected:
  ~MountedTree() = default;
};

enum class MountOutcome {
  kServed,           // served until unmounted
  kInBackground,     // this process returns: another serves, and the mount answers
  kNoFolder,         // the mount point does not exist
  kNotAFolder,       //
  kBusy,             // something is mounted there already
  kFailed,           // the system refused the mount
  kNotOnThisSystem,  // this system has no FUSE
  kNotBuilt,         // built without libfuse 3
};

struct MountRequest {
  std::string point;
  bool foreground = false;
  std::string name;  // what the system's list of mounts shows as its source
};

// Why this program cannot mount here (kNotOnThisSystem, kNotBuilt), if it
// cannot.
std::optional<MountOutcome> whyCannotMount();

// Mounts `tree` at request.point, read-only, readable by everyone who may
// read `source`, with its times and owner, and serves it until it is
// unmounted or an interrupt comes, which unmounts it and is noted for
// endIfInterrupted(): kServed. In the background another process serves,
// and this one answers kInBackground once the mount answers. `why`
// receives the system's words for a kFailed.
MountOutcome mountTree(MountedTree& tree, const SourceFile& source, const MountRequest& request,
                       std::string& why);

// For the process that serves in the background: from here on what it
// prints goes nowhere, and the caller's standard output is let go (a
// caller that reads it to its end stops waiting).
void releaseStandardStreams();

}  // namespace vaultcat::platform
