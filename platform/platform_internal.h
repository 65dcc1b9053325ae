// What the platform's own sources share, and nothing outside platform/
// includes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_identity.h"

namespace vaultcat::platform {

// The identity of an open file: a descriptor or a handle.
bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity);

// The bytes whose faults the fault handler reports: one range at a time,
// none for null.
void watchForFaults(const std::byte* start, uint64_t size);
bool isWatched(uintptr_t address);

// The fault line setUpProcess() was given, kept where a handler can read it.
void keepFaultLine(std::string_view line);
// What the fault handler prints: the unsent text, then the fault line,
// through writeStandardOutput(), which on POSIX systems is safe in a signal
// handler.
void writeFaultReport();

// The output being written, which must be undone if the run does not
// complete.
class PendingOutput {
 public:
  // Leaves the destination as it was before the output began.
  virtual void undo() = 0;

 protected:
  ~PendingOutput() = default;
};
// Makes `output` the one pending, or none for null. While one is, an
// interrupt is noted for the run to end by rather than ending it at once,
// and a fault on reading the cache is noted (faulted()) rather than ending
// it, so that the run undoes the output in its own time.
void setPendingOutput(PendingOutput* output);
PendingOutput* pendingOutput();
// Undoes the pending output, if there is one, and forgets it.
void undoPendingOutput();

// Notes that reading the cache faulted; whether it did.
void noteFault();
bool faulted();

// The system's own rules for one part of an output path, beyond those
// isSafeName() applies everywhere.
bool systemAllowsName(std::string_view name);

// A hidden name for a temporary file or folder beside `target` (a name, no
// folder; may be empty), unlikely to be anybody else's: a dot, the target's
// name cut to `maxTargetLength`, and a tag of the process, the time and a
// count (uniqueTag()).
std::string temporaryName(std::string_view target, size_t maxTargetLength);
uint64_t uniqueTag();

}  // namespace vaultcat::platform
