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

// While interrupts are held, an interrupt waits: the pending output is
// changing stage.
void holdInterrupts();
void releaseInterrupts();
class InterruptsHeld {
 public:
  InterruptsHeld() { holdInterrupts(); }
  ~InterruptsHeld() { releaseInterrupts(); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// Leaves the pending OutputFile's target as it was before it was created.
// The interrupt and fault handlers call it too; on POSIX systems it is safe
// in a signal handler.
void undoPendingOutput();

// A hidden name for a temporary file beside `target` (a file name, no
// folder), unlikely to be anybody else's: a dot, the target's name cut to
// `maxTargetLength`, and a tag made from `seed`.
std::string temporaryName(std::string_view target, uint64_t seed, size_t maxTargetLength);

}  // namespace vaultcat::platform
