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

// While an output is pending, an interrupt is noted for the run to end by
// rather than ending it at once.
void deferInterrupts(bool deferred);

// Leaves the pending output's target as it was before it was created. The
// fault handler calls it too; on POSIX systems it is safe in a signal
// handler.
void undoPendingOutput();

// The system's own rules for one part of an output path, beyond those
// isSafeName() applies everywhere.
bool systemAllowsName(std::string_view name);

// A hidden name for a temporary file beside `target` (a file name, no
// folder), unlikely to be anybody else's: a dot, the target's name cut to
// `maxTargetLength`, and a tag made from `seed`.
std::string temporaryName(std::string_view target, uint64_t seed, size_t maxTargetLength);

}  // namespace vaultcat::platform
