// The platform interface on Windows: a file mapping, SetCurrentDirectoryW,
// and WriteFile at explicit 64-bit offsets. Paths go to the ...W calls
// (archive/wide_path_win32.h).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "archive/platform.h"
#include "archive/wide_path_win32.h"

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

// OutputFile keeps its handle as an integer so that the shared header needs
// no system header; INVALID_HANDLE_VALUE is -1 there, the header's "closed".
std::intptr_t toStored(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE fromStored(std::intptr_t stored) { return reinterpret_cast<HANDLE>(stored); }

// WriteFile takes a 32-bit length; larger pieces go out in slices of this.
constexpr uint64_t kMaxWriteSlice = uint64_t{1} << 30;

}  // namespace

bool MappedFile::map(const std::string& path) {
  unmap();
  Handle file(::CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  // A directory does not open without backup semantics; a pipe or a console
  // does, and has no size to map.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER fileSize{};
  if (!::GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart <= 0) return false;
  const auto size = static_cast<uint64_t>(fileSize.QuadPart);
  if (size > SIZE_MAX) return false;

  // Sizes of 0 map the whole file as it is now.
  Handle mapping(::CreateFileMappingA(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.valid()) return false;
  void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
  // The view keeps the mapping and the file open by itself, so both handles
  // go now, whether or not it was made.
  mapping.reset();
  file.reset();
  if (view == nullptr) return false;
  data_ = static_cast<const std::byte*>(view);
  size_ = size;
  return true;
}

void MappedFile::unmap() {
  if (data_ == nullptr) return;
  ::UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

bool changeWorkingDirectory(const std::string& path) {
  return ::SetCurrentDirectoryW(widePath(path).c_str()) != 0;
}

// Both separators are native here, so the path is used as typed.
std::string outputPathFor(std::string_view itemPath) { return std::string(itemPath); }

OutputFile::~OutputFile() {
  if (handle_ != -1) ::CloseHandle(fromStored(handle_));
}

bool OutputFile::create(const std::string& path) {
  if (handle_ != -1) discard();
  // CREATE_ALWAYS creates the file or truncates an existing one.
  Handle file(::CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  // Names such as NUL, CON or AUX.TXT open a device in any folder. Bytes
  // written there are lost or go elsewhere, and the extraction would
  // report a success with no file on disk; only a disk file will do.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  path_ = path;
  handle_ = toStored(file.release());
  failed_ = false;
  return true;
}

bool OutputFile::writeAt(uint64_t offset, std::span<const ByteView> pieces) {
  if (handle_ == -1 || failed_) return false;
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
        return false;
      }
      done += written;
      offset += written;
    }
  }
  return true;
}

bool OutputFile::close() {
  if (handle_ == -1) return !failed_;
  const bool closed = ::CloseHandle(fromStored(handle_)) != 0;
  handle_ = -1;
  return closed && !failed_;
}

void OutputFile::discard() {
  if (handle_ != -1) ::CloseHandle(fromStored(handle_));
  handle_ = -1;
  if (!path_.empty()) ::DeleteFileW(widePath(path_).c_str());
  path_.clear();
}

}  // namespace vaultcat::platform
