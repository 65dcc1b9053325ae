// The file of a tree output being written, or the file already at its
// place being compared with the cache's bytes instead; a file the cache
// holds in part is written with holes, over a copy of an earlier part
// where it joins one. For the platform's own sources.
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
  // Makes the file begun a part: `length` bytes long at end(), what is
  // never written of it a hole (folder.h).
  void makePart(uint64_t length);
  // Copies the file at `at` into the part begun, before anything is
  // written to it: the file `seen` as it was compared, unchanged, whose
  // bytes those given then overwrite. False, with the problem noted, where
  // it is another or changed, or cannot be copied.
  bool copyIn(At at, const FileIdentity& seen);
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
  // Ends the comparison: what the file holds of the bytes given, and the
  // file as it was opened.
  struct Compared {
    ExistingFile::Holds holds;
    FileIdentity file;
  };
  Compared endComparison();
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
  std::optional<uint64_t> partLength_;  // of a part
  bool comparing_ = false;
};

}  // namespace vaultcat::platform
