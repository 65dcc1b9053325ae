// The source on Windows: a file mapping of a handle kept open, whose pieces
// are read in place: the system reads a mapped view ahead by itself, and
// trims a process's pages when memory is short.
#include "platform/process/handle_win32.h"
#include "platform/process/wide_path_win32.h"
#include "platform/source/source_file.h"

namespace vaultcat::platform {

bool SourceFile::map(const std::string& path) {
  close();
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
  keep(static_cast<const std::byte*>(view), size, toStored(file.release()), identity);
  return true;
}

std::optional<std::span<const std::byte>> SourceFile::readFile(Piece piece, std::byte*) const {
  return bytes().subspan(static_cast<size_t>(piece.offset), static_cast<size_t>(piece.length));
}

bool SourceFile::resident(Piece) const { return true; }

void SourceFile::forgetPages() const {}

void SourceFile::release(const std::byte* data, uint64_t, std::intptr_t handle) {
  ::UnmapViewOfFile(data);
  ::CloseHandle(fromStored(handle));
}

}  // namespace vaultcat::platform
