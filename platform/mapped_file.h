// A read-only view of a whole existing file: the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_identity.h"

namespace vaultcat::platform {

// The file is opened for reading only, shared with other readers, with a
// hint that it will be read in order, and stays open while it is mapped so
// that a change to it can be told. While it is mapped, a fault on reading
// its bytes (the file shrank, or its disk failed) ends the run as
// setUpProcess() says.
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
  std::span<const std::byte> bytes() const { return {data_, static_cast<size_t>(size_)}; }
  // The file as it was when it was mapped.
  const FileIdentity& identity() const { return identity_; }
  // The open file behind the view: the system's descriptor or handle.
  std::intptr_t handle() const { return handle_; }
  // Whether the file is still what it was when it was mapped: same size,
  // not written since. False if that cannot be told.
  bool unchanged() const;
  // Whether reading the mapping faulted (the file shrank, or its disk
  // failed) while an output was pending: what was read since is not the
  // file's.
  bool faulted() const;
  // Lets the system take back the memory of pages read so far; they are
  // read again when next touched.
  void forgetPages() const;

 private:
  // The system's part of unmap(): releases the view and closes the file.
  static void release(const std::byte* data, uint64_t size, std::intptr_t handle);
  void hold(const std::byte* data, uint64_t size, std::intptr_t handle,
            const FileIdentity& identity);

  const std::byte* data_ = nullptr;
  uint64_t size_ = 0;
  std::intptr_t handle_ = -1;  // the system's descriptor or handle
  FileIdentity identity_;
};

}  // namespace vaultcat::platform
