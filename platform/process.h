// The little of the operating system the whole process needs: set-up for a
// run (standard descriptors, interrupts, faults on reading the mapped
// cache), standard output, and the working directory. process_posix.cpp
// and process_win32.cpp implement it; the build picks one.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_identity.h"

namespace vaultcat::platform {

// Prepares the process for a run, before anything else:
// - descriptors 0 to 2 are opened on the null device if they are closed, so
//   that no file opened later takes their place;
// - SIGPIPE and SIGXFSZ become errors of the call that meets them;
// - an interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl-C and Ctrl-Break on
//   Windows) first leaves the pending OutputFile's target as it was, then
//   ends the process as it would have;
// - a fault on reading the bytes of a MappedFile (the file shrank, or its
//   disk failed) writes the unsent text (setUnsentText()), then
//   `faultLine`, leaves the pending OutputFile's target as it was and exits
//   with status 1.
// Returns false if standard output was closed at the start.
bool setUpProcess(std::string_view faultLine);

// Text that is printed but not yet written out: buffer[0, used). A fault
// handler writes it before its own line, so it may read both at any moment.
struct UnsentText {
  const char* buffer = nullptr;
  const std::atomic<size_t>* used = nullptr;
};
void setUnsentText(UnsentText text);

// Writes all of `text` to standard output; false if it could not.
bool writeStandardOutput(std::string_view text);
// The regular file standard output goes to, if it goes to one.
std::optional<FileIdentity> standardOutputFile();

// Makes `path` the process's working directory; false if it cannot.
bool changeWorkingDirectory(const std::string& path);

}  // namespace vaultcat::platform
