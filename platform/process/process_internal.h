// What the process's handlers share with the platform's own sources: the
// bytes whose faults they report, what they print then, and whether a read
// faulted. Nothing outside platform/ includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vaultcat::platform {

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

// Notes that reading the cache faulted; whether it did.
void noteFault();
bool faulted();

// For a process that serves the cache to others (a mount): from here on a
// fault on reading it, in any thread, is noted and the page reads as zeros,
// as while an output is pending, so that every answer from then on can be
// refused rather than the process end.
void keepServingAfterFaults();

// From here on an interrupt is noted for endIfInterrupted() and `handler`
// is called with it, in a signal handler, instead of anything else; null
// puts things back as they were.
void divertInterrupts(void (*handler)(int signal));

}  // namespace vaultcat::platform
