// The cache the pieces come from: a whole existing file, mapped read-only,
// or bytes already in memory (tests and fuzzing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/process/file_identity.h"
#include "platform/source/piece.h"

namespace vaultcat::platform {

// A mapped file is opened for reading only, shared with other readers, with
// a hint that it will be read in order, and stays open while it is mapped
// so that a change to it can be told. While it is mapped, a fault on
// reading its bytes (the file shrank, or its disk failed) ends the run as
// setUpProcess() says.
class SourceFile {
 public:
  SourceFile() = default;
  ~SourceFile() { close(); }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // False if the file cannot be opened, is not a regular file, is empty, or
  // cannot be mapped; nothing is held then.
  bool map(const std::string& path);
  // Holds `bytes` as they are, without a copy: they must outlive what is
  // held.
  void hold(std::span<const std::byte> bytes);
  void close();

  bool isOpen() const { return data_ != nullptr; }
  // Every byte, in place: for reading the cache's own tables.
  std::span<const std::byte> bytes() const { return {data_, static_cast<size_t>(size_)}; }
  // The bytes of `piece`, read the way that suits where they are: in place
  // where they are in memory anyway (bytes given to hold(), and on Windows
  // the mapped file), else read from the file into `scratch`, which must
  // hold piece.length bytes. Nothing if the piece lies outside, or could not
  // be read (the file shrank, or its disk failed).
  std::optional<std::span<const std::byte>> read(Piece piece, std::byte* scratch) const;
  // The open file the bytes come from, a descriptor or a handle that the
  // system can copy from by itself; -1 for bytes in memory.
  std::intptr_t handle() const { return handle_; }
  // Whether reading the piece would find its first page in memory rather
  // than wait for the disk. Where the system cannot tell, and for bytes in
  // memory, true.
  bool resident(Piece piece) const;

  // The file as it was when it was mapped.
  const FileIdentity& identity() const { return identity_; }
  // Whether the file is still as it was when it was mapped: the same file,
  // of the same size, its modification and change times the same (a write
  // with the modification time put back still moves the change time).
  // Bytes in memory always are; false if it cannot be told. Every command
  // asks this one question before it reports or serves what it read.
  bool unchanged() const;
  // Whether reading the mapping faulted (the file shrank, or its disk
  // failed) while an output was pending: what was read since is not the
  // file's.
  bool faulted() const;
  // Lets the system take back the memory of pages read so far; they are
  // read again when next touched.
  void forgetPages() const;

 private:
  // The system's part of read() for a mapped file, of a piece inside it.
  std::optional<std::span<const std::byte>> readFile(Piece piece, std::byte* scratch) const;
  // The system's part of close() for a mapped file: releases the view and
  // closes the file.
  static void release(const std::byte* data, uint64_t size, std::intptr_t handle);
  void keep(const std::byte* data, uint64_t size, std::intptr_t handle,
            const FileIdentity& identity);

  const std::byte* data_ = nullptr;
  uint64_t size_ = 0;
  std::intptr_t handle_ = -1;  // the mapped file's descriptor or handle
  FileIdentity identity_;
};

}  // namespace vaultcat::platform
