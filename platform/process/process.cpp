// What both systems share of the process: the unsent text and the fault
// line that a handler prints, and which bytes it watches. The handlers
// read only atomic words and a fixed buffer, which the normal code sets.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/process/process.h"
#include "platform/process/process_internal.h"

namespace vaultcat::platform {

namespace {
std::atomic<uintptr_t> watchedStart{0};
std::atomic<uintptr_t> watchedEnd{0};
std::atomic<const char*> unsentBuffer{nullptr};
std::atomic<const std::atomic<size_t>*> unsentUsed{nullptr};
char faultLine[256];
std::atomic<size_t> faultLineLength{0};
std::atomic<bool> readFaulted{false};
}  // namespace

void noteFault() { readFaulted.store(true); }

bool mustStop() { return interruption() != 0 || standardOutputLost(); }
bool faulted() { return readFaulted.load(); }

void setUnsentText(UnsentText text) {
  unsentUsed.store(text.used);
  unsentBuffer.store(text.buffer);
}

void keepFaultLine(std::string_view line) {
  faultLineLength.store(0);
  const size_t length = std::min(line.size(), sizeof faultLine);
  std::memcpy(faultLine, line.data(), length);
  faultLineLength.store(length);
}

void writeFaultReport() {
  const char* buffer = unsentBuffer.load();
  const std::atomic<size_t>* used = unsentUsed.load();
  if (buffer != nullptr && used != nullptr)
    writeStandardOutput(std::string_view(buffer, used->load()));
  writeStandardOutput(std::string_view(faultLine, faultLineLength.load()));
}

void watchForFaults(const std::byte* start, uint64_t size) {
  watchedEnd.store(0);
  watchedStart.store(reinterpret_cast<uintptr_t>(start));
  watchedEnd.store(start == nullptr ? 0 : reinterpret_cast<uintptr_t>(start) + size);
}

bool isWatched(uintptr_t address) {
  return address >= watchedStart.load() && address < watchedEnd.load();
}

}  // namespace vaultcat::platform
