// Reads of the cache handed to the system many at a time, for the piece
// writer: a fragmented file's scattered blocks would otherwise cost one
// system call each. On Linux through io_uring, where the build found
// liburing and the system lets the process use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace vaultcat::platform {

class ReadRing {
 public:
  // A read that has completed: its tag, and the bytes it read or -errno.
  struct Completion {
    uint64_t tag;
    int32_t result;
  };

  // A ring with `buffers` staging buffers of `bufferSize` bytes each, for at
  // most `mostInFlight` reads at once; nothing where the system refuses one
  // (a kernel without io_uring or too old for what is used here, io_uring
  // disabled by its sysctl, a seccomp filter, too little lockable memory for
  // the buffers) or the build has no liburing.
  static std::unique_ptr<ReadRing> open(unsigned buffers, size_t bufferSize, unsigned mostInFlight);
  virtual ~ReadRing() = default;

  virtual std::byte* buffer(unsigned index) const = 0;
  // Queues a read of `length` bytes of `fd` from `offset` into buffer
  // `index` from `staged`, to complete with `tag`.
  virtual void queue(uint64_t tag, int fd, uint64_t offset, unsigned index, uint32_t staged,
                     uint32_t length) = 0;
  // Hands the queued reads to the system and, with `wait`, waits until one
  // in flight completes: 0, or -errno (-EINTR where a signal came first).
  virtual int submit(bool wait) = 0;
  // The next completed read, if any.
  virtual std::optional<Completion> completed() = 0;
  // Reads handed to the system whose completion has not been taken: while
  // there are any, the buffers must stay.
  virtual unsigned inFlight() const = 0;
};

}  // namespace vaultcat::platform
