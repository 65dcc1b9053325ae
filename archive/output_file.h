// The file an item is extracted into.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "archive/data_sink.h"
#include "archive/mapped_file.h"
#include "archive/platform.h"

namespace vaultcat::platform {

// The path of the output file for an item path as the user typed it. Both
// '/' and '\\' separate folders inside a cache; where the system knows only
// '/', a '\\' becomes one.
std::string outputPathFor(std::string_view itemPath);

// Nothing at the path changes until commit(): the bytes go to a new
// temporary file beside the target (or beside the file a symbolic link
// leads to), which commit() puts in place of the target in one step. A
// device or FIFO at the path is written directly instead, and never
// removed. Every way out that does not reach keep() leaves the path as it
// was, an interrupt too. One output is pending at a time.
class OutputFile final : public DataSink {
 public:
  OutputFile() = default;
  ~OutputFile() override { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False, with nothing created, if the folder does not exist, or the path
  // is a folder, a file this process may not write, a FIFO that nobody
  // reads, or any of the files in `mustNotBe` (the cache being read, the
  // file standard output goes to). Folders on the way are not created.
  // `source`, if given, is the mapped cache the pieces come from: it is
  // never the output either, and pieces are read from its file rather than
  // through the mapping.
  bool create(const std::string& path, const MappedFile* source = nullptr,
              std::span<const FileIdentity> mustNotBe = {});
  Status writeAt(uint64_t offset, std::span<const ByteView> pieces) override;
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
  Status fail(Status::Kind kind);
  std::optional<uint64_t> sourceOffset(ByteView piece) const;
  bool readCache(ByteView piece, char* into) const;
  Status copyInKernel(ByteView piece, uint64_t offset, uint64_t& done);
  Status spliceInKernel(ByteView piece, uint64_t offset, uint64_t& done);
  Status refuseSplice();
  bool writeStaged(uint64_t offset, size_t length);

  const MappedFile* source_ = nullptr;
  std::unique_ptr<char[]> staging_;
  bool kernelCopy_ = true;     // the system copies between these files itself
  bool splice_ = true;         // ... or through a pipe
  int pipe_[2] = {-1, -1};     // that pipe, once made
  std::intptr_t handle_ = -1;  // the system's descriptor or handle; -1 when closed
  bool direct_ = false;        // a device or FIFO, written in place
  bool sequential_ = false;    // one that cannot seek: bytes go out in order
  bool failed_ = false;        // a write went wrong since create()
  bool pending_ = false;       // this output is what an interrupt undoes
  uint64_t written_ = 0;       // bytes sent so far, where the output cannot seek
};

}  // namespace vaultcat::platform
