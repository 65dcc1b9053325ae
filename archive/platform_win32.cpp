// The platform layer on Windows: the process (a console control handler, a
// vectored exception handler, standard output, the working directory), the
// mapped cache (a file mapping of a handle kept open) and the output file (a
// temporary file beside the target, moved in place with MoveFileExW). Paths
// go to the ...W calls (archive/wide_path_win32.h).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/console_win32.h"
#include "archive/damage_text.h"
#include "archive/mapped_file.h"
#include "archive/output_file.h"
#include "archive/platform.h"
#include "archive/wide_path_win32.h"

namespace vaultcat::platform {

namespace {

// Both "no handle" values that the API hands back (null and
// INVALID_HANDLE_VALUE) count as empty.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset() {
    if (valid()) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

// The shared headers keep handles as integers so that they need no system
// header; INVALID_HANDLE_VALUE is -1 there, their "closed".
std::intptr_t toStored(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE fromStored(std::intptr_t stored) { return reinterpret_cast<HANDLE>(stored); }

// The console control handler runs on a thread of its own: holding this
// lock keeps it from undoing an output while the main thread changes it.
SRWLOCK interruptLock = SRWLOCK_INIT;
std::string faultLine;

int64_t fromFileTime(const FILETIME& time) {
  return static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

// The pending output: its temporary file while it exists, which an
// interrupt removes (changed only while interrupts are held), and where
// commit() moves it.
std::string temporaryPath;
std::string targetPath;

void removeTemporaryFile() {
  if (!temporaryPath.empty()) ::DeleteFileW(widePath(temporaryPath).c_str());
  temporaryPath.clear();
}

BOOL WINAPI onConsoleControl(DWORD) {
  // The lock is never given back: the default handler that runs next ends
  // the process.
  ::AcquireSRWLockExclusive(&interruptLock);
  removeTemporaryFile();
  return FALSE;
}

LONG WINAPI onException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  if (record.ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record.NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  const auto address = static_cast<uintptr_t>(record.ExceptionInformation[1]);
  if (!isWatched(address)) return EXCEPTION_CONTINUE_SEARCH;
  // The cache's disk or network failed under the mapping: the lines already
  // printed stay, then one line says why the run ends.
  const std::string_view text = pendingText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fwrite(faultLine.data(), 1, faultLine.size(), stdout);
  std::fflush(stdout);
  ::AcquireSRWLockExclusive(&interruptLock);
  removeTemporaryFile();
  ::TerminateProcess(::GetCurrentProcess(), 1);
  return EXCEPTION_CONTINUE_SEARCH;
}

// WriteFile takes a 32-bit length; larger pieces go out in slices of this.
constexpr uint64_t kMaxWriteSlice = uint64_t{1} << 30;

// A hidden-looking name beside the target, unlikely to be anybody else's.
std::string temporaryPathFor(const std::string& target) {
  static uint64_t count = 0;
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  uint64_t tag = (uint64_t{::GetCurrentProcessId()} << 40) ^ static_cast<uint64_t>(now.QuadPart) ^
                 (++count * 0x9E3779B97F4A7C15u);
  tag *= 0xBF58476D1CE4E5B9u;
  const size_t slash = target.find_last_of("/\\");
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string path =
      target.substr(0, nameStart) + "." + target.substr(nameStart, 200) + ".vaultcat-";
  for (int i = 0; i < 8; ++i, tag >>= 5)
    path.push_back("abcdefghijklmnopqrstuvwxyz234567"[tag & 31]);
  return path;
}

// Whether what is at `path` may be replaced: nothing, or a disk file that
// is neither read-only, nor the source, nor one of `mustNotBe`. Names such as NUL, CON or
// AUX.TXT open a device in any folder: bytes written there are lost or go
// elsewhere, and the extraction would report a success with no file on disk.
bool mayReplace(const std::string& path, const MappedFile* source,
                std::span<const FileIdentity> mustNotBe) {
  const std::wstring wide = widePath(path);
  Handle existing(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!existing.valid()) return ::GetLastError() == ERROR_FILE_NOT_FOUND;
  BY_HANDLE_FILE_INFORMATION info{};
  FileIdentity identity;
  if (::GetFileType(existing.get()) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(existing.get(), &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
      !identifyOpenFile(toStored(existing.get()), identity)) {
    return false;
  }
  return (source == nullptr || !identity.sameFileAs(source->identity())) &&
         std::none_of(mustNotBe.begin(), mustNotBe.end(),
                      [&](const FileIdentity& other) { return identity.sameFileAs(other); });
}

}  // namespace

// ---------------------------------------------------------------------------
// The process

bool setUpProcess(std::string_view line) {
  faultLine = line;
  // The text is buffered by the program itself; a second buffer here would
  // hold lines back from the fault handler.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  ::AddVectoredExceptionHandler(1, onException);
  HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return console != nullptr && console != INVALID_HANDLE_VALUE;
}

// Not nested anywhere: a lock of this kind cannot be taken twice.
void holdInterrupts() { ::AcquireSRWLockExclusive(&interruptLock); }
void releaseInterrupts() { ::ReleaseSRWLockExclusive(&interruptLock); }

bool identifyOpenFile(std::intptr_t handle, FileIdentity& identity) {
  HANDLE file = fromStored(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  FILE_BASIC_INFO basic{};
  const bool haveBasic =
      ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0;
  identity = {info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
              (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
              fromFileTime(info.ftLastWriteTime), haveBasic ? basic.ChangeTime.QuadPart : 0};
  return true;
}

bool writeStandardOutput(std::string_view text) {
  // A console takes UTF-16 (archive/console_win32.h). Otherwise text mode:
  // each "\n" goes out as CR LF.
  if (standardOutputIsConsole()) return writeConsole(text);
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

bool standardOutputFile(FileIdentity& identity) {
  HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (console == nullptr || console == INVALID_HANDLE_VALUE) return false;
  return ::GetFileType(console) == FILE_TYPE_DISK && identifyOpenFile(toStored(console), identity);
}

bool changeWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryW(widePath(path).c_str()) != 0;
}

// ---------------------------------------------------------------------------
// The mapped cache

bool MappedFile::map(const std::string& path) {
  unmap();
  // Read sharing only, and the handle stays open while the file is mapped:
  // no other program can open the cache for writing until we are done.
  Handle file(::CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  // A directory does not open without backup semantics; a pipe or a console
  // does, and has no size to map.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER fileSize{};
  if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart <= 0) return false;
  const auto size = static_cast<uint64_t>(fileSize.QuadPart);
  FileIdentity identity;
  if (size > SIZE_MAX || !identifyOpenFile(toStored(file.get()), identity)) return false;

  // Sizes of 0 map the whole file as it is now.
  Handle mapping(::CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.valid()) return false;
  void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  // The view keeps the mapping object alive by itself.
  mapping.reset();
  if (view == nullptr) return false;
  adopt(static_cast<const std::byte*>(view), size, toStored(file.release()), identity);
  return true;
}

void MappedFile::release(const std::byte* data, uint64_t, std::intptr_t handle) {
  ::UnmapViewOfFile(data);
  ::CloseHandle(fromStored(handle));
}

// ---------------------------------------------------------------------------
// The output file

// Both separators are native here, so the path is used as typed.
std::string outputPathFor(std::string_view itemPath) { return std::string(itemPath); }

bool OutputFile::create(const std::string& path, const MappedFile* source,
                        std::span<const FileIdentity> mustNotBe) {
  discard();
  if (!targetPath.empty() || !mayReplace(path, source, mustNotBe)) return false;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    const std::string temporary = temporaryPathFor(path);
    InterruptsHeld held;
    // Delete sharing lets an interrupt remove the file while it is open.
    const std::wstring wideTemporary = widePath(temporary);
    file = ::CreateFileW(wideTemporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      temporaryPath = temporary;
    } else if (::GetLastError() != ERROR_FILE_EXISTS) {
      return false;
    }
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  targetPath = path;
  handle_ = toStored(file);
  pending_ = true;
  return true;
}

Status OutputFile::writeAt(uint64_t offset, std::span<const ByteView> pieces) {
  if (handle_ == -1 || failed_) return {Status::Kind::kOutputFailed, {}};
  HANDLE file = fromStored(handle_);
  for (const ByteView& piece : pieces) {
    uint64_t done = 0;
    while (done < piece.size()) {
      const auto slice = static_cast<DWORD>(std::min(piece.size() - done, kMaxWriteSlice));
      // On a handle opened for synchronous I/O the OVERLAPPED only carries
      // the position; WriteFile returns when the bytes are written. Writing
      // past the end extends the file, and the gap reads as zeros.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!::WriteFile(file, piece.data() + done, slice, &written, &at) || written == 0) {
        failed_ = true;
        // The system could not read the cache's bytes under the mapping.
        const DWORD error = ::GetLastError();
        if (error == ERROR_NOACCESS || error == ERROR_SWAPERROR)
          return damage_text::cacheUnreadable();
        return {Status::Kind::kOutputFailed, {}};
      }
      done += written;
      offset += written;
    }
  }
  return {};
}

bool OutputFile::commit() {
  if (handle_ == -1 || failed_ || !pending_) return false;
  const bool closed = ::CloseHandle(fromStored(handle_)) != 0;
  handle_ = -1;
  if (!closed) return false;
  // Once moved, the file stays: Windows cannot swap two names in one step.
  InterruptsHeld held;
  if (!::MoveFileExW(widePath(temporaryPath).c_str(), widePath(targetPath).c_str(),
                     MOVEFILE_REPLACE_EXISTING))
    return false;
  temporaryPath.clear();
  return true;
}

void OutputFile::keep() {
  if (!pending_) return;
  InterruptsHeld held;
  temporaryPath.clear();
  targetPath.clear();
  pending_ = false;
}

void OutputFile::discard() {
  if (handle_ != -1) ::CloseHandle(fromStored(handle_));
  handle_ = -1;
  failed_ = false;
  if (!pending_) return;
  InterruptsHeld held;
  removeTemporaryFile();
  targetPath.clear();
  pending_ = false;
}

}  // namespace vaultcat::platform
