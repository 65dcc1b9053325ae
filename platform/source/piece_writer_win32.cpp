// The piece writer on Windows: WriteFile at each piece's offset, straight
// from the mapped cache; the system reads a mapped view ahead by itself.
#include <algorithm>
#include <memory>

#include "platform/process/handle_win32.h"
#include "platform/process/process.h"
#include "platform/source/piece_writer.h"

namespace vaultcat::platform {

// The most a piece is read at once where its bytes are not in memory
// anyway; WriteFile takes 32-bit lengths.
constexpr uint64_t kSlice = uint64_t{1} << 20;

struct PieceWriter::State {
  explicit State(const SourceFile& from) : source(from) {}
  const SourceFile& source;
  std::unique_ptr<std::byte[]> scratch;
};

PieceWriter::PieceWriter(const SourceFile& source) : state_(std::make_unique<State>(source)) {}
PieceWriter::~PieceWriter() { abandon(); }

WriteStatus PieceWriter::write(uint64_t offset, std::span<const Piece> pieces) {
  State& s = *state_;
  if (s.scratch == nullptr) s.scratch = std::make_unique_for_overwrite<std::byte[]>(kSlice);
  for (const Piece& piece : pieces) {
    for (uint64_t done = 0; done < piece.length;) {
      if (mustStop()) return {WriteStatus::Kind::kStopped};
      const Piece slice{piece.offset + done, std::min(piece.length - done, kSlice)};
      const std::optional<std::span<const std::byte>> bytes = s.source.read(slice, s.scratch.get());
      if (!bytes) return {WriteStatus::Kind::kSourceUnreadable};
      // On a handle opened for synchronous I/O the OVERLAPPED only carries
      // the position; WriteFile returns when the bytes are written. Writing
      // past the end extends the file, and the gap reads as zeros.
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD written = 0;
      if (!::WriteFile(fromStored(file_), bytes->data(), static_cast<DWORD>(bytes->size()),
                       &written, &at) ||
          written == 0) {
        // The system could not read the cache's bytes under the mapping.
        const DWORD error = ::GetLastError();
        return {error == ERROR_NOACCESS || error == ERROR_SWAPERROR
                    ? WriteStatus::Kind::kSourceUnreadable
                    : WriteStatus::Kind::kOutputFailed};
      }
      done += written;
      offset += written;
    }
  }
  return {};
}

// Nothing is held back.
WriteStatus PieceWriter::drain() { return {}; }
void PieceWriter::forget() {}

bool PieceWriter::closeFile(std::intptr_t file) { return ::CloseHandle(fromStored(file)) != 0; }

}  // namespace vaultcat::platform
