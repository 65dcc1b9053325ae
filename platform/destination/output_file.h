// The file an item is extracted into.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/source/piece.h"
#include "platform/source/piece_writer.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

// Nothing at the path changes until commit(): the bytes go to a new
// temporary file beside the target (on POSIX systems, beside the file a
// symbolic link leads to), which commit() puts in place of the target in
// one step. Every way out that does not reach keep() leaves the path as it
// was, an interrupt too. One output is pending at a time.
class OutputFile {
 public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False, with nothing created, if the folder does not exist, or the path
  // is a folder, a device or FIFO, a file this process may not write, or
  // the cache or the file standard output goes to. Folders on the way are
  // not created. The pieces written come from `source`, which must outlive
  // the output.
  bool create(const std::string& path, const SourceFile& source);
  // Writes the pieces one after another, as PieceWriter::writeAt().
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  // Writes what writeAt() held back; commit() does too.
  WriteStatus flush();
  // Puts the complete file in place of the target, keeping a replaced
  // file's owner and permission bits. False if anything written failed to
  // reach the file or the target cannot be replaced; the target is
  // unchanged then.
  bool commit();
  // Ends the extraction: the committed file stays. On POSIX systems,
  // interrupts from here on wait for the process to exit.
  void keep();
  // Leaves the target as it was: removes the temporary file and, after a
  // commit() that kept the replaced file, puts it back.
  void discard();

 private:
  struct State;  // the pending output
  std::unique_ptr<State> state_;
};

}  // namespace vaultcat::platform
