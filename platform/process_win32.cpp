// The process on Windows: a console control handler, a vectored exception
// handler, standard output and the working directory.
#include <cstdio>

#include "platform/console_win32.h"
#include "platform/handle_win32.h"
#include "platform/platform_internal.h"
#include "platform/process.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

namespace {

// The console control handler runs on a thread of its own: holding this
// lock keeps it from undoing an output while the main thread changes it.
SRWLOCK interruptLock = SRWLOCK_INIT;

BOOL WINAPI onConsoleControl(DWORD) {
  // The lock is never given back: the default handler that runs next ends
  // the process.
  ::AcquireSRWLockExclusive(&interruptLock);
  undoPendingOutput();
  return FALSE;
}

LONG WINAPI onException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  if (record.ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record.NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  if (!isWatched(static_cast<uintptr_t>(record.ExceptionInformation[1])))
    return EXCEPTION_CONTINUE_SEARCH;
  // The cache's disk or network failed under the mapping: the lines already
  // printed stay, then one line says why the run ends.
  writeFaultReport();
  ::AcquireSRWLockExclusive(&interruptLock);
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
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  ::AddVectoredExceptionHandler(1, onException);
  return standardOutput() != nullptr;
}

// Not nested anywhere: a lock of this kind cannot be taken twice.
void holdInterrupts() { ::AcquireSRWLockExclusive(&interruptLock); }
void releaseInterrupts() { ::ReleaseSRWLockExclusive(&interruptLock); }

bool writeStandardOutput(std::string_view text) {
  // A console takes UTF-16 (platform/console_win32.h). Otherwise text mode:
  // each "\n" goes out as CR LF.
  if (standardOutputIsConsole()) return writeConsole(text);
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

std::optional<FileIdentity> standardOutputFile() {
  HANDLE out = standardOutput();
  FileIdentity identity;
  if (out == nullptr || ::GetFileType(out) != FILE_TYPE_DISK ||
      !identifyOpenFile(toStored(out), identity))
    return std::nullopt;
  return identity;
}

bool changeWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryW(widePath(path).c_str()) != 0;
}

}  // namespace vaultcat::platform
