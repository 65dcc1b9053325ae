// The little the reader needs of the operating system, behind one interface:
// a read-only mapping of a whole file, the change of working directory, and
// the output file an item is extracted into. platform_posix.cpp and
// platform_win32.cpp implement it; the build picks one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "archive/byte_view.h"
#include "archive/output.h"

namespace vaultcat::platform {

// A read-only view of a whole existing file. The file is opened for reading
// only, shared with other readers, with a hint that it will be read in
// order; its handle is closed as soon as the view exists.
class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False if the file cannot be opened, is not a regular file, is empty, or
  // cannot be mapped; nothing is held then.
  bool map(const std::string& path);
  void unmap();

  bool isMapped() const { return data_ != nullptr; }
  ByteView bytes() const { return {data_, size_}; }

 private:
  const std::byte* data_ = nullptr;
  uint64_t size_ = 0;
};

// Makes `path` the process's working directory; false if it cannot.
bool changeWorkingDirectory(const std::string& path);

// The path of the output file for an item path as the user typed it. Both
// '/' and '\\' separate folders inside a cache; where the system knows only
// '/', a '\\' becomes one.
std::string outputPathFor(std::string_view itemPath);

// The file an item is extracted into: created, or truncated if it exists,
// for writing at any position. Folders on the way are not created.
class OutputFile final : public DataSink {
 public:
  OutputFile() = default;
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool create(const std::string& path);
  bool writeAt(uint64_t offset, std::span<const ByteView> pieces) override;
  // Closes the file; false if anything written failed to reach it.
  bool close();
  // Closes the file if it is open and deletes it, so that a partial output
  // is never left looking complete.
  void discard();

 private:
  std::string path_;
  std::intptr_t handle_ = -1;  // the platform's descriptor or handle; -1 when closed
  bool failed_ = false;        // a write went wrong since create()
};

}  // namespace vaultcat::platform
