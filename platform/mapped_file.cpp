// What both systems share of the mapped file: its bookkeeping, and telling
// the fault handler which bytes are the cache's.
#include "platform/mapped_file.h"

#include "platform/platform_internal.h"

namespace vaultcat::platform {

void MappedFile::hold(const std::byte* data, uint64_t size, std::intptr_t handle,
                      const FileIdentity& identity) {
  data_ = data;
  size_ = size;
  handle_ = handle;
  identity_ = identity;
  watchForFaults(data_, size_);
}

void MappedFile::unmap() {
  if (data_ == nullptr) return;
  watchForFaults(nullptr, 0);
  release(data_, size_, handle_);
  hold(nullptr, 0, -1, {});
}

bool MappedFile::unchanged() const {
  FileIdentity now;
  return data_ != nullptr && !faulted() && identifyOpenFile(handle_, now) && now == identity_;
}

bool MappedFile::faulted() const { return data_ != nullptr && platform::faulted(); }

}  // namespace vaultcat::platform
