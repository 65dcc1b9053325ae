// What both systems share of the source: its bookkeeping, bytes in memory,
// and telling the fault handler which bytes are the mapped file's.
#include "platform/source/source_file.h"

#include "platform/process/process_internal.h"

namespace vaultcat::platform {

void SourceFile::keep(const std::byte* data, uint64_t size, std::intptr_t handle,
                      const FileIdentity& identity) {
  data_ = data;
  size_ = size;
  handle_ = handle;
  identity_ = identity;
  // Only a mapped file's bytes can fault for a reason outside the program.
  watchForFaults(handle_ != -1 ? data_ : nullptr, size_);
}

void SourceFile::hold(std::span<const std::byte> bytes) {
  close();
  keep(bytes.data(), bytes.size(), -1, {});
}

void SourceFile::close() {
  if (data_ == nullptr) return;
  if (handle_ != -1) release(data_, size_, handle_);
  keep(nullptr, 0, -1, {});
}

std::optional<std::span<const std::byte>> SourceFile::read(Piece piece, std::byte* scratch) const {
  if (piece.offset > size_ || piece.length > size_ - piece.offset) return std::nullopt;
  if (handle_ != -1) return readFile(piece, scratch);
  return bytes().subspan(static_cast<size_t>(piece.offset), static_cast<size_t>(piece.length));
}

bool SourceFile::unchanged() const {
  FileIdentity now;
  return handle_ == -1 || (!faulted() && identifyOpenFile(handle_, now) && now == identity_);
}

bool SourceFile::faulted() const { return handle_ != -1 && platform::faulted(); }

}  // namespace vaultcat::platform
