// The little the reader needs of the operating system, behind one interface:
// a read-only mapping of a whole file, the change of working directory, the
// output file an item is extracted into, standard output, and what happens
// when the run is interrupted or the mapped file fails underneath it.
// platform_posix.cpp and platform_win32.cpp implement it; the build picks one.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "archive/byte_view.h"
#include "archive/output.h"

namespace vaultcat::platform {

// What tells one file from another, and whether it changed: the device and
// the file's number on it, its size, and its modification and change times.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // in the system's own units
  int64_t changed = 0;

  bool sameFileAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool operator==(const FileIdentity&) const = default;
};

// A read-only view of a whole existing file. The file is opened for reading
// only, shared with other readers, with a hint that it will be read in
// order, and stays open while it is mapped, so that a change to it can be
// told (unchanged()). While it is mapped, a fault on reading its bytes (the
// file shrank, or its disk failed) ends the run as setUpProcess() says.
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
  // The file as it was when it was mapped.
  const FileIdentity& identity() const { return identity_; }
  // Whether the file is still what it was when it was mapped: same size,
  // not written since. False if that cannot be told.
  bool unchanged() const;

 private:
  const std::byte* data_ = nullptr;
  uint64_t size_ = 0;
  std::intptr_t handle_ = -1;  // the platform's descriptor or handle
  FileIdentity identity_;
};

// Makes `path` the process's working directory; false if it cannot.
bool changeWorkingDirectory(const std::string& path);

// The path of the output file for an item path as the user typed it. Both
// '/' and '\\' separate folders inside a cache; where the system knows only
// '/', a '\\' becomes one.
std::string outputPathFor(std::string_view itemPath);

// The file an item is extracted into. Nothing at the path changes until
// commit(): the bytes go to a new temporary file beside the target (or
// beside the file a symbolic link leads to), which commit() puts in place
// of the target in one step. A device or FIFO at the path is written
// directly instead, and never removed. Every way out that does not reach
// keep() leaves the path as it was, even an interrupt (setUpProcess()).
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
  bool create(const std::string& path, std::span<const FileIdentity> mustNotBe = {});
  WriteStatus writeAt(uint64_t offset, std::span<const ByteView> pieces) override;
  // Puts the complete file in place of the target, keeping a replaced
  // file's permission bits. False if anything written failed to reach the
  // file or the target cannot be replaced; the target is unchanged then.
  bool commit();
  // Ends the extraction: the committed file stays. Interrupts from here on
  // wait for the process to exit.
  void keep();
  // Leaves the target as it was: removes the temporary file and, after a
  // commit(), puts back what the target held.
  void discard();

 private:
  std::intptr_t handle_ = -1;  // the platform's descriptor or handle; -1 when closed
  bool direct_ = false;        // a device or FIFO, written in place
  bool sequential_ = false;    // one that cannot seek: bytes go out in order
  bool failed_ = false;        // a write went wrong since create()
  bool ownsPending_ = false;   // this output is what an interrupt undoes
  uint64_t written_ = 0;       // bytes sent so far, where the output cannot seek
};

// Prepares the process for a run, before anything else: descriptors 0 to 2
// are opened on the null device if they are closed (so that no file opened
// later takes their place), SIGPIPE and SIGXFSZ become errors of the call
// that meets them, an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C
// and Ctrl-Break on Windows) first undoes the pending OutputFile and then
// ends the process as it would have, and a fault on reading a MappedFile
// writes what `pending` still holds, then `faultLine`, undoes the pending
// OutputFile and exits with status 1. Returns false if standard output
// was closed at the start.
struct PendingText {
  const char* buffer = nullptr;
  const std::atomic<size_t>* used = nullptr;
};
bool setUpProcess(std::string_view faultLine);
// The text the fault handler writes before its line; none by default.
void setPendingText(PendingText pending);

// Writes all of `text` to standard output; false if it could not.
bool writeStandardOutput(std::string_view text);
// The regular file standard output goes to, if it goes to one.
bool standardOutputFile(FileIdentity& identity);

}  // namespace vaultcat::platform
