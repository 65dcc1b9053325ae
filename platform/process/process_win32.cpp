// The process on Windows: a console control handler, a vectored exception
// handler, standard output and the working directory.
#include <atomic>
#include <cstdio>

#include "platform/process/console_win32.h"
#include "platform/process/handle_win32.h"
#include "platform/process/pending_output.h"
#include "platform/process/process.h"
#include "platform/process/process_internal.h"
#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

namespace {

std::atomic<int> noted{0};       // the console event that came while deferred, plus one
std::atomic<uint32_t> count{0};  // and how many came
std::atomic<bool> finalText{false};
std::atomic<bool> complete{false};  // the last words are out: the run stays complete
std::atomic<bool> lost{false};      // standard output's reader went away
HANDLE mainThread = nullptr;

// The console control handler runs on a thread of its own. While an output
// is pending it only notes the event and cancels a write the main thread
// may be waiting in; the main thread then leaves the destination as it was
// and ends the process (endIfInterrupted()). Returning FALSE lets the
// default handler end it, should the main thread take too long.
BOOL WINAPI onConsoleControl(DWORD event) {
  if (complete.load()) return TRUE;
  if (pendingOutput() == nullptr) return FALSE;
  int none = 0;
  noted.compare_exchange_strong(none, static_cast<int>(event) + 1);
  count.fetch_add(1);
  ::CancelSynchronousIo(mainThread);
  ::WaitForSingleObject(mainThread, 10000);
  return FALSE;
}

// Runs on the thread that read the mapping, as a call from the faulting
// instruction: it may undo the output itself.
LONG WINAPI onException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  if (record.ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record.NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  if (!isWatched(static_cast<uintptr_t>(record.ExceptionInformation[1])))
    return EXCEPTION_CONTINUE_SEARCH;
  // The cache's disk or network failed under the mapping: the lines already
  // printed stay, then one line says why the run ends.
  writeFaultReport();
  undoPendingOutput();
  ::TerminateProcess(::GetCurrentProcess(), 1);
  return EXCEPTION_CONTINUE_SEARCH;
}

HANDLE standardOutput() {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return out == INVALID_HANDLE_VALUE ? nullptr : out;
}

}  // namespace

bool setUpProcess(std::string_view faultLine) {
  keepFaultLine(faultLine);
  // The text is buffered by the program itself; a second buffer here would
  // hold lines back from the fault handler.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &mainThread,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  ::AddVectoredExceptionHandler(1, onException);
  return standardOutput() != nullptr;
}

int interruption() { return noted.load(); }
uint32_t interruptions() { return count.load(); }
bool standardOutputLost() { return lost.load(); }

void endIfInterrupted() {
  if (noted.load() != 0 && !complete.load()) ::ExitProcess(STATUS_CONTROL_C_EXIT);
}

void holdInterruptsToTheEnd() { finalText.store(true); }

bool writeStandardOutput(std::string_view text) {
  if (noted.load() != 0) return false;
  // A console takes UTF-16 (platform/process/console_win32.h). Otherwise text mode:
  // each "\n" goes out as CR LF.
  const bool written = standardOutputIsConsole()
                           ? writeConsole(text)
                           : std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                                 std::fflush(stdout) == 0;
  if (!written && (::GetLastError() == ERROR_NO_DATA || ::GetLastError() == ERROR_BROKEN_PIPE))
    lost.store(true);
  if (written && noted.load() == 0 && finalText.load()) complete.store(true);
  return written && !(noted.load() != 0 && !complete.load());
}

bool standardOutputIsTerminal() { return standardOutputIsConsole(); }

uint32_t terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  HANDLE out = standardOutput();
  if (out == nullptr || !::GetConsoleScreenBufferInfo(out, &info)) return 0;
  return static_cast<uint32_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

bool writeStandardError(std::string_view text) {
  return std::fwrite(text.data(), 1, text.size(), stderr) == text.size() &&
         std::fflush(stderr) == 0;
}

std::optional<FileIdentity> standardOutputFile() {
  HANDLE out = standardOutput();
  FileIdentity identity;
  if (out == nullptr || ::GetFileType(out) != FILE_TYPE_DISK ||
      !identifyOpenFile(toStored(out), identity))
    return std::nullopt;
  return identity;
}

void runThisThreadWhenIdle() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
}

// The one path without the "\\?\" prefix: the system keeps the working
// directory in MAX_PATH units unless it has long paths enabled, and the
// prefix would only take four of them. The paths taken from it later get
// the prefix (wide_path_win32.h).
bool changeWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryW(toWide(path, CP_ACP).value_or(std::wstring()).c_str()) != 0;
}

}  // namespace vaultcat::platform
