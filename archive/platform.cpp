// What both systems share: the mapped file's bookkeeping, where it lies for
// the fault handler, and the text the handler prints before its line. The
// handlers read only the atomic words, which the normal code sets.
#include "archive/platform.h"
#include "archive/mapped_file.h"

namespace vaultcat::platform {

namespace {
std::atomic<uintptr_t> watchedStart{0};
std::atomic<uintptr_t> watchedEnd{0};
std::atomic<const char*> pendingTextBuffer{nullptr};
std::atomic<const std::atomic<size_t>*> pendingTextUsed{nullptr};
}  // namespace

void setPendingText(PendingText pending) {
  pendingTextUsed.store(pending.used);
  pendingTextBuffer.store(pending.buffer);
}

std::string_view pendingText() {
  const char* buffer = pendingTextBuffer.load();
  const std::atomic<size_t>* used = pendingTextUsed.load();
  return buffer != nullptr && used != nullptr ? std::string_view(buffer, used->load())
                                              : std::string_view();
}

void watchForFaults(const std::byte* start, uint64_t size) {
  watchedEnd.store(0);
  watchedStart.store(reinterpret_cast<uintptr_t>(start));
  watchedEnd.store(start == nullptr ? 0 : reinterpret_cast<uintptr_t>(start) + size);
}

bool isWatched(uintptr_t address) {
  return address >= watchedStart.load() && address < watchedEnd.load();
}

void MappedFile::adopt(const std::byte* data, uint64_t size, std::intptr_t handle,
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
  adopt(nullptr, 0, -1, {});
}

bool MappedFile::unchanged() const {
  FileIdentity now;
  return data_ != nullptr && identifyOpenFile(handle_, now) && now == identity_;
}

}  // namespace vaultcat::platform
