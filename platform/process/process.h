// The little of the operating system the whole process needs: set-up for a
// run (standard descriptors, interrupts, faults on reading the mapped
// cache), standard output, and the working directory. process_posix.cpp
// and process_win32.cpp implement it; the build picks one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process/file_identity.h"

namespace vaultcat::platform {

// Prepares the process for a run, before anything else:
// - descriptors 0 to 2 are opened on the null device if they are closed, so
//   that no file opened later takes their place;
// - SIGPIPE and SIGXFSZ become errors of the call that meets them;
// - an interrupt (any signal that would end the process, but SIGKILL; on
//   Windows Ctrl-C, Ctrl-Break and closing the console) ends the process as
//   it would have, except while an output is pending: then the run notes it
//   (interruption()), stops at its next step, leaves the destination as it
//   was, and ends by it (endIfInterrupted());
// - a fault on reading the bytes of a mapped SourceFile (the file shrank,
//   or its disk failed) writes the unsent text (setUnsentText()), then
//   `faultLine`, leaves the pending output's target as it was and exits
//   with status 1.
// Returns false if standard output was closed at the start.
bool setUpProcess(std::string_view faultLine);

// Whether the run is to stop at its next step: an interrupt came, or
// standard output can no longer be written. The one question a run asks
// where it may stop: every loop that writes, reads or copies for it asks
// between its steps, and passes a stop up as a value of its own
// (WriteStatus::Kind::kStopped, Failure::Kind::kInterrupted), never as a
// failure. It costs a look at the clock, and a few times a second a look
// at standard output.
bool mustStop();
// The interrupt the run must end by, once it has left the destination as it
// was: the signal's number (on Windows the console event's, plus one), or 0.
// Asked instead of mustStop() only where the call must be safe in a signal
// handler (moveAll() in io_posix.h, writing standard output), and where an
// interrupt alone counts, not a reader gone.
int interruption();
// How many interrupts have come while an output was pending. An undo, which
// must go on through the first interrupt, compares it with the count when
// it began: a second tells it to stop there.
uint32_t interruptions();
// Whether standard output can no longer be written: its reader went away
// (a write failed for that, or a look found it gone while the program's
// own text was still unsent), or the terminal hung up.
bool standardOutputLost();
// Ends the process by the interrupt that came, if one did, as it would have
// ended without us; returns otherwise.
void endIfInterrupted();
// For the last words of a complete run: from here on an interrupt waits for
// the process to exit, except while standard output cannot take text yet,
// when it still counts. Once the text is written, the run stays complete.
void holdInterruptsToTheEnd();

// Text that is printed but not yet written out: buffer[0, used). A fault
// handler writes it before its own line, so it may read both at any moment.
struct UnsentText {
  const char* buffer = nullptr;
  const std::atomic<size_t>* used = nullptr;
};
void setUnsentText(UnsentText text);

// Writes all of `text` to standard output, waiting while it cannot take
// more (a full pipe, even one left non-blocking); false if it could not, or
// an interrupt came first.
bool writeStandardOutput(std::string_view text);
// Whether standard output is a terminal (on Windows a console), which a
// program's text can control.
bool standardOutputIsTerminal();
// How many columns wide that terminal is; 0 if it does not say.
uint32_t terminalColumns();
// Writes all of `text` to standard error, for the one line a run says when
// standard output can no longer carry it; false if it could not.
bool writeStandardError(std::string_view text);
// The regular file standard output goes to, if it goes to one.
std::optional<FileIdentity> standardOutputFile();

// Lets the calling thread have the processor and the disk after every
// other thread that wants them: for work in the background of a process
// that serves others.
void runThisThreadWhenIdle();

// Makes `path` the process's working directory; false if it cannot.
bool changeWorkingDirectory(const std::string& path);

}  // namespace vaultcat::platform
