// The little of the operating system the whole process needs: set-up for a
// run (standard descriptors, interrupts, faults on reading the mapped
// cache), standard output, and the working directory. mapped_file.h and
// output_file.h are the files the reader reads and writes. platform_posix.cpp
// and platform_win32.cpp implement all three; the build picks one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// What tells one file from another, and whether it changed: the device and
// the file's number on it, its size, and its modification and change times.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified = 0;  // in the system's own units
  int64_t changed = 0;

  bool sameFileAs(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool operator==(const FileIdentity&) const = default;
};

// Prepares the process for a run, before anything else:
// - descriptors 0 to 2 are opened on the null device if they are closed, so
//   that no file opened later takes their place;
// - SIGPIPE and SIGXFSZ become errors of the call that meets them;
// - an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C and Ctrl-Break on
//   Windows) first leaves the pending OutputFile's target as it was, then
//   ends the process as it would have;
// - a fault on reading the bytes of a MappedFile (the file shrank, or its
//   disk failed) writes what the text of setPendingText() still holds, then
//   `faultLine`, leaves the pending OutputFile's target as it was and exits
//   with status 1.
// Returns false if standard output was closed at the start.
bool setUpProcess(std::string_view faultLine);

// The text a fault handler writes before its line: buffer[0, used).
struct PendingText {
  const char* buffer = nullptr;
  const std::atomic<size_t>* used = nullptr;
};
void setPendingText(PendingText pending);

// Writes all of `text` to standard output; false if it could not.
bool writeStandardOutput(std::string_view text);
// The regular file standard output goes to, if it goes to one.
bool standardOutputFile(FileIdentity& identity);

// Makes `path` the process's working directory; false if it cannot.
bool changeWorkingDirectory(const std::string& path);

// For the platform's own sources: the identity of an open file (a
// descriptor or a handle), the bytes whose faults the handler reports (one
// range at a time; none for null), and what it prints first.
bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity);
void watchForFaults(const std::byte* start, uint64_t size);
bool isWatched(uintptr_t address);
std::string_view pendingText();
// While interrupts are held, the handler waits: the pending output is
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

}  // namespace vaultcat::platform
