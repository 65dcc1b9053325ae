// A file already at an output's place, compared with the pieces of the
// cache without writing: a re-extraction leaves a file that holds exactly
// the cache's bytes as it is, its time and number too. Of a file the cache
// holds in part, an earlier part there that lacks some of its bytes, where
// it reads zeros, is copied into the part that replaces it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "platform/destination/folder.h"
#include "platform/process/file_identity.h"
#include "platform/source/piece.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

class ExistingFile {
 public:
  explicit ExistingFile(const SourceFile& source);
  ~ExistingFile();
  ExistingFile(const ExistingFile&) = delete;
  ExistingFile& operator=(const ExistingFile&) = delete;

  // Opens the file at `at` to read, never through a link, closing any file
  // it had: false unless it is the regular file `seen`. An empty file has
  // nothing to read, and is taken as `seen` tells it.
  bool open(At at, const FileIdentity& seen);
  bool isOpen() const { return open_; }
  // The file as it was opened, before any of it was read: a change made to
  // it since shows in its change time.
  const FileIdentity& identity() const { return identity_; }
  // Compares the pieces, the first at `offset`, with what the file holds
  // there, in any order. Once a byte differs where the file does not read
  // zero, or the file cannot be read, the file is not the same and nothing
  // more is read. False only where the cache's own bytes cannot be read.
  bool compare(uint64_t offset, std::span<const Piece> pieces);
  // What the file holds of the bytes compared.
  enum class Holds {
    kExactly,      // them and no more: every byte of the file was compared
    kThem,         // them, and bytes no piece gave
    kAllButZeros,  // them but where it reads zeros, and bytes no piece gave
    kOther,
  };
  // Closes the file, saying what it holds.
  Holds close();
  // Copies the open file into the open `file`, before anything else is
  // written there: its runs of zeros are not written, and stay holes.
  // False if it cannot be read, or `file` written.
  bool copyInto(std::intptr_t file);

 private:
  // Each system's part: the file at `at` opened to read, or -1; `length`
  // bytes of it from `offset`, or into another file; closing it.
  static std::intptr_t openToRead(At at);
  static bool readAt(std::intptr_t file, uint64_t offset, std::byte* into, size_t length);
  static bool writeAt(std::intptr_t file, uint64_t offset, const std::byte* from, size_t length);
  static void closeFile(std::intptr_t file);
  // Whether the bytes that differ between ours and theirs are zeros of
  // theirs.
  static bool differsOnlyAtZeros(const std::byte* ours, const std::byte* theirs, size_t length);

  const SourceFile& source_;
  std::intptr_t file_ = -1;  // -1 for an empty file
  bool open_ = false;
  FileIdentity identity_;
  // The spans of the file compared and found the same (or, where
  // allButZeros_, differing at zeros of the file's), as [start, end): one
  // for pieces that come in order.
  std::vector<std::pair<uint64_t, uint64_t>> compared_;
  bool same_ = false;
  // Every byte that differed so far is a zero of the file's.
  bool allButZeros_ = false;
  std::unique_ptr<std::byte[]> theirs_, ours_;
};

}  // namespace vaultcat::platform
