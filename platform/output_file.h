// The file an item is extracted into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_identity.h"
#include "platform/mapped_file.h"

namespace vaultcat::platform {

// How a write to an output ended; `error` is the system's error number
// where there is one.
struct WriteStatus {
  enum class Kind {
    kOk,
    kOutputFailed,      // the output refused bytes
    kSourceUnreadable,  // the source's bytes could not be read: it shrank or its disk failed
  };
  Kind kind = Kind::kOk;
  int error = 0;
  bool ok() const { return kind == Kind::kOk; }
};

using Piece = std::span<const std::byte>;

// Nothing at the path changes until commit(): the bytes go to a new
// temporary file beside the target (or beside the file a symbolic link
// leads to), which commit() puts in place of the target in one step.
// Every way out that does not reach keep() leaves the path as it was, an
// interrupt too. One output is pending at a time.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False, with nothing created, if the folder does not exist, or the path
  // is a folder, a device or FIFO, a file this process may not write, or
  // any of the `protectedFiles` (the cache being read, the file standard
  // output goes to). Folders on the way are not created. `source`, if
  // given, is the mapped cache the pieces come from: they are read from its
  // file rather than through the mapping.
  bool create(const std::string& path, const MappedFile* source = nullptr,
              std::span<const FileIdentity> protectedFiles = {});
  // Writes the pieces one after another, the first at `offset` from the
  // start of the file. Regions never written, below the highest byte
  // written, read as zeros. After a failure every write fails.
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  // Writes what writeAt() held back: pieces of the source, which may wait
  // to go out in the order they lie in it. commit() does too.
  WriteStatus flush();
  // Puts the complete file in place of the target, keeping a replaced
  // file's permission bits. False if anything written failed to reach the
  // file or the target cannot be replaced; the target is unchanged then.
  bool commit();
  // Ends the extraction: the committed file stays. On POSIX systems,
  // interrupts from here on wait for the process to exit.
  void keep();
  // Leaves the target as it was: removes the temporary file and, after a
  // commit() where the system can swap two names, puts back what the target
  // held.
  void discard();

 private:
  struct Open;  // the open temporary file, as each system keeps it
  std::unique_ptr<Open> open_;
  bool undoable_ = false;  // this output is what an interrupt undoes
};

}  // namespace vaultcat::platform
