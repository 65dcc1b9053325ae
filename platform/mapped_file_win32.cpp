// The mapped cache on Windows: a file mapping of a handle kept open.
#include "platform/handle_win32.h"
#include "platform/mapped_file.h"
#include "platform/platform_internal.h"
#include "platform/wide_path_win32.h"

namespace vaultcat::platform {

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
  hold(static_cast<const std::byte*>(view), size, toStored(file.release()), identity);
  return true;
}

// Windows trims a process's pages by itself when memory is short.
void MappedFile::forgetPages() const {}

void MappedFile::release(const std::byte* data, uint64_t, std::intptr_t handle) {
  ::UnmapViewOfFile(data);
  ::CloseHandle(fromStored(handle));
}

}  // namespace vaultcat::platform
