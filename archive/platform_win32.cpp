// The platform interface on Windows: a file mapping, SetCurrentDirectoryA,
// WriteFile at explicit 64-bit offsets, MoveFileExA, a console control
// handler and a vectored exception handler.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "archive/platform.h"

namespace vaultcat::platform {

namespace {

// Owns one kernel handle and closes it on every way out of a scope. Both
// "no handle" values that the API hands back (null and INVALID_HANDLE_VALUE)
// count as empty.
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

// The shared header keeps handles as integers so that it needs no system
// header; INVALID_HANDLE_VALUE is -1 there, the header's "closed".
std::intptr_t toStored(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE fromStored(std::intptr_t stored) { return reinterpret_cast<HANDLE>(stored); }

// WriteFile takes a 32-bit length; larger pieces go out in slices of this.
constexpr uint64_t kMaxWriteSlice = uint64_t{1} << 30;

int64_t fromFileTime(const FILETIME& time) {
  return static_cast<int64_t>((uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

bool identityOf(HANDLE file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  FILE_BASIC_INFO basic{};
  const bool haveBasic =
      ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0;
  identity = {info.dwVolumeSerialNumber,
              (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow,
              (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
              fromFileTime(info.ftLastWriteTime), haveBasic ? basic.ChangeTime.QuadPart : 0};
  return true;
}

// ---------------------------------------------------------------------------
// What the handlers read. The console control handler runs on a thread of
// its own: the lock keeps it from removing a file the main thread is moving
// into place.

SRWLOCK outputLock = SRWLOCK_INIT;
std::string temporaryPath;  // the temporary file, while it exists; guarded by outputLock
std::atomic<uintptr_t> mappedStart{0};
std::atomic<uintptr_t> mappedEnd{0};
std::atomic<const char*> pendingTextBuffer{nullptr};
std::atomic<const std::atomic<size_t>*> pendingTextUsed{nullptr};
std::string faultLine;

void removeTemporaryFile() {
  if (!temporaryPath.empty()) ::DeleteFileA(temporaryPath.c_str());
  temporaryPath.clear();
}

BOOL WINAPI onConsoleControl(DWORD) {
  // The lock is never given back: the default handler that runs next ends
  // the process.
  ::AcquireSRWLockExclusive(&outputLock);
  removeTemporaryFile();
  return FALSE;
}

LONG WINAPI onException(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  if (record.ExceptionCode != EXCEPTION_IN_PAGE_ERROR || record.NumberParameters < 2)
    return EXCEPTION_CONTINUE_SEARCH;
  const auto address = static_cast<uintptr_t>(record.ExceptionInformation[1]);
  if (address < mappedStart.load() || address >= mappedEnd.load()) return EXCEPTION_CONTINUE_SEARCH;
  // The cache's disk or network failed under the mapping: the lines already
  // printed stay, then one line says why the run ends.
  const char* buffer = pendingTextBuffer.load();
  const std::atomic<size_t>* used = pendingTextUsed.load();
  if (buffer != nullptr && used != nullptr) std::fwrite(buffer, 1, used->load(), stdout);
  std::fwrite(faultLine.data(), 1, faultLine.size(), stdout);
  std::fflush(stdout);
  ::AcquireSRWLockExclusive(&outputLock);
  removeTemporaryFile();
  ::TerminateProcess(::GetCurrentProcess(), 1);
  return EXCEPTION_CONTINUE_SEARCH;
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

void setPendingText(PendingText pending) {
  pendingTextUsed.store(pending.used);
  pendingTextBuffer.store(pending.buffer);
}

bool writeStandardOutput(std::string_view text) {
  // Text mode: each "\n" goes out as CR LF.
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

bool standardOutputFile(FileIdentity& identity) {
  HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (console == nullptr || console == INVALID_HANDLE_VALUE) return false;
  return ::GetFileType(console) == FILE_TYPE_DISK && identityOf(console, identity);
}

// ---------------------------------------------------------------------------
// The mapped cache

bool MappedFile::map(const std::string& path) {
  unmap();
  // Read sharing only, and the handle stays open while the file is mapped:
  // no other program can open the cache for writing until we are done.
  Handle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  // A directory does not open without backup semantics; a pipe or a console
  // does, and has no size to map.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER fileSize{};
  if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart <= 0) return false;
  const auto size = static_cast<uint64_t>(fileSize.QuadPart);
  FileIdentity identity;
  if (size > SIZE_MAX || !identityOf(file.get(), identity)) return false;

  // Sizes of 0 map the whole file as it is now.
  Handle mapping(::CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.valid()) return false;
  void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  // The view keeps the mapping object alive by itself.
  mapping.reset();
  if (view == nullptr) return false;
  data_ = static_cast<const std::byte*>(view);
  size_ = size;
  handle_ = toStored(file.release());
  identity_ = identity;
  mappedEnd.store(0);
  mappedStart.store(reinterpret_cast<uintptr_t>(view));
  mappedEnd.store(reinterpret_cast<uintptr_t>(view) + static_cast<uintptr_t>(size));
  return true;
}

void MappedFile::unmap() {
  if (data_ == nullptr) return;
  if (mappedStart.load() == reinterpret_cast<uintptr_t>(data_)) {
    mappedEnd.store(0);
    mappedStart.store(0);
  }
  ::UnmapViewOfFile(data_);
  ::CloseHandle(fromStored(handle_));
  data_ = nullptr;
  size_ = 0;
  handle_ = -1;
  identity_ = {};
}

bool MappedFile::unchanged() const {
  FileIdentity now;
  return data_ != nullptr && identityOf(fromStored(handle_), now) && now == identity_;
}

bool changeWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryA(path.c_str()) != 0;
}

// Both separators are native here, so the path is used as typed.
std::string outputPathFor(std::string_view itemPath) { return std::string(itemPath); }

// ---------------------------------------------------------------------------
// The output file. Only one is pending at a time: its temporary file's path
// is what the handlers remove, and `targetPath` where commit() moves it.

namespace {
std::string targetPath;

// A hidden-looking name beside the target, unlikely to be anybody else's.
std::string temporaryPathFor(const std::string& target) {
  static uint64_t count = 0;
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  uint64_t tag = (uint64_t{::GetCurrentProcessId()} << 40) ^
                 static_cast<uint64_t>(now.QuadPart) ^ (++count * 0x9E3779B97F4A7C15u);
  tag *= 0xBF58476D1CE4E5B9u;
  const size_t slash = target.find_last_of("/\\");
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string path = target.substr(0, nameStart) + "." + target.substr(nameStart, 200) + ".vaultcat-";
  for (int i = 0; i < 8; ++i, tag >>= 5) path.push_back("abcdefghijklmnopqrstuvwxyz234567"[tag & 31]);
  return path;
}
}  // namespace

bool OutputFile::create(const std::string& path, std::span<const FileIdentity> mustNotBe) {
  discard();
  if (ownsPending_ || !targetPath.empty()) return false;  // one output at a time
  // What is at the path now. Names such as NUL, CON or AUX.TXT open a device
  // in any folder: bytes written there are lost or go elsewhere, and the
  // extraction would report a success with no file on disk, so only a disk
  // file or nothing will do. A read-only file is not replaced.
  Handle existing(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (existing.valid()) {
    BY_HANDLE_FILE_INFORMATION info{};
    FileIdentity identity;
    if (::GetFileType(existing.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(existing.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
        !identityOf(existing.get(), identity)) {
      return false;
    }
    for (const FileIdentity& other : mustNotBe) {
      if (identity.sameFileAs(other)) return false;
    }
  } else if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
    return false;
  }

  HANDLE file = INVALID_HANDLE_VALUE;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = temporaryPathFor(path);
    ::AcquireSRWLockExclusive(&outputLock);
    // Delete sharing lets the control handler remove the file while the
    // main thread still writes it.
    file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) temporaryPath = temporary;
    const DWORD error = ::GetLastError();
    ::ReleaseSRWLockExclusive(&outputLock);
    if (file == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  targetPath = path;
  handle_ = toStored(file);
  ownsPending_ = true;
  return true;
}

WriteStatus OutputFile::writeAt(uint64_t offset, std::span<const ByteView> pieces) {
  if (handle_ == -1 || failed_) return WriteStatus::kOutputFailed;
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
        return error == ERROR_NOACCESS || error == ERROR_SWAPERROR ? WriteStatus::kCacheUnreadable
                                                                   : WriteStatus::kOutputFailed;
      }
      done += written;
      offset += written;
    }
  }
  return WriteStatus::kWritten;
}

bool OutputFile::commit() {
  if (handle_ == -1 || failed_ || !ownsPending_) return false;
  const bool closed = ::CloseHandle(fromStored(handle_)) != 0;
  handle_ = -1;
  if (!closed) return false;
  ::AcquireSRWLockExclusive(&outputLock);
  const bool moved = ::MoveFileExA(temporaryPath.c_str(), targetPath.c_str(),
                                   MOVEFILE_REPLACE_EXISTING) != 0;
  if (moved) temporaryPath.clear();
  ::ReleaseSRWLockExclusive(&outputLock);
  return moved;
}

void OutputFile::keep() {
  if (!ownsPending_) return;
  ::AcquireSRWLockExclusive(&outputLock);
  temporaryPath.clear();
  ::ReleaseSRWLockExclusive(&outputLock);
  targetPath.clear();
  ownsPending_ = false;
}

void OutputFile::discard() {
  if (handle_ != -1) ::CloseHandle(fromStored(handle_));
  handle_ = -1;
  failed_ = false;
  if (!ownsPending_) return;
  ::AcquireSRWLockExclusive(&outputLock);
  removeTemporaryFile();
  ::ReleaseSRWLockExclusive(&outputLock);
  targetPath.clear();
  ownsPending_ = false;
}

}  // namespace vaultcat::platform
