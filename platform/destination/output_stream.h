// The file of a tree output being written, or the file already at its
// place being compared with the cache's bytes instead. For the platform's
// own sources.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/destination/destination.h"
#include "platform/destination/existing_file.h"
#include "platform/source/piece.h"
#include "platform/source/piece_writer.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

class OutputStream {
 public:
  OutputStream(const SourceFile& source, ProblemNote note)
      : note_(note), writer_(source), existing_(source) {}

  // Writes into the open `file`, the item at `path`, until end(); a file
  // that replaces one is synced there where `syncAtEnd`.
  void beginFile(std::intptr_t file, const std::string& path, bool syncAtEnd);
  // Compares the file at `at` that is `seen`, the item at `path`, with the
  // bytes given until endComparison(); false if it cannot be opened as
  // that file.
  bool beginComparison(At at, const FileIdentity& seen, const std::string& path);
  // As OutputTree::writeAt() and flush(): a write that fails notes why.
  WriteStatus writeAt(uint64_t offset, std::span<const Piece> pieces);
  WriteStatus flush();
  // Ends the file; false, with the problem noted, if any of it did not
  // reach it.
  bool endFile();
  // Ends the comparison: the file as it was opened, if it holds exactly the
  // bytes given.
  std::optional<FileIdentity> endComparison();
  // Lets go of the file written or compared, without writing what was held.
  void abandon();
  const std::string& path() const { return path_; }
  bool writing() const { return writer_.isOpen(); }

 private:
  // Notes why a write failed: a stop, or the output's refusal.
  WriteStatus written(WriteStatus status);

  const ProblemNote note_;
  PieceWriter writer_;     // the file being written
  ExistingFile existing_;  // or the file being compared
  std::string path_;
  bool syncAtEnd_ = false;
  bool comparing_ = false;
};

}  // namespace vaultcat::platform
