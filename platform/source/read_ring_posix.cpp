// The read ring through io_uring (liburing). The buffers are registered
// with the ring, so that a read does not map them afresh every time.
#include <liburing.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/source/read_ring_posix.h"

namespace vaultcat::platform {

namespace {

class UringReads final : public ReadRing {
 public:
  UringReads() = default;
  UringReads(const UringReads&) = delete;
  UringReads& operator=(const UringReads&) = delete;
  ~UringReads() override {
    if (ringOpen_) io_uring_queue_exit(&ring_);
    std::free(memory_);
  }

  bool open(unsigned buffers, size_t bufferSize, unsigned mostInFlight);

  std::byte* buffer(unsigned index) const override { return memory_ + index * bufferSize_; }

  void queue(uint64_t tag, int fd, uint64_t offset, unsigned index, uint32_t staged,
             uint32_t length) override {
    // The submission queue holds as many as may be in flight, so it has
    // room for every read the caller may queue.
    io_uring_sqe* entry = io_uring_get_sqe(&ring_);
    io_uring_prep_read_fixed(entry, fd, buffer(index) + staged, length, offset,
                             static_cast<int>(index));
    io_uring_sqe_set_data64(entry, tag);
    ++queued_;
  }

  int submit(bool wait) override {
    const int n = io_uring_submit_and_wait(&ring_, wait ? 1 : 0);
    if (n < 0) return n;
    queued_ -= static_cast<unsigned>(n);
    inFlight_ += static_cast<unsigned>(n);
    return 0;
  }

  std::optional<Completion> completed() override {
    io_uring_cqe* entry = nullptr;
    if (io_uring_peek_cqe(&ring_, &entry) != 0 || entry == nullptr) return std::nullopt;
    const Completion done{io_uring_cqe_get_data64(entry), entry->res};
    io_uring_cqe_seen(&ring_, entry);
    --inFlight_;
    return done;
  }

  unsigned inFlight() const override { return inFlight_; }

 private:
  io_uring ring_{};
  bool ringOpen_ = false;
  std::byte* memory_ = nullptr;
  size_t bufferSize_ = 0;
  unsigned queued_ = 0, inFlight_ = 0;
};

bool UringReads::open(unsigned buffers, size_t bufferSize, unsigned mostInFlight) {
  // Completions are taken only by this thread, when it waits for them: a
  // kernel from 6.1 on then runs no work for the ring at other times.
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  int error = io_uring_queue_init_params(mostInFlight, &ring_, &params);
  if (error == -EINVAL) {
    params = {};
    error = io_uring_queue_init_params(mostInFlight, &ring_, &params);
  }
  if (error < 0) return false;
  ringOpen_ = true;
  // A kernel before 5.6 cannot say what it supports; what it does support
  // of io_uring is not worth finding out here.
  io_uring_probe* probe = io_uring_get_probe_ring(&ring_);
  const bool reads = probe != nullptr && io_uring_opcode_supported(probe, IORING_OP_READ_FIXED);
  io_uring_free_probe(probe);
  if (!reads) return false;

  static const auto pageSize = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  bufferSize_ = bufferSize;
  memory_ = static_cast<std::byte*>(std::aligned_alloc(pageSize, buffers * bufferSize));
  if (memory_ == nullptr) return false;
  std::vector<iovec> vectors(buffers);
  for (unsigned i = 0; i < buffers; ++i) vectors[i] = {buffer(i), bufferSize};
  // Registering locks the buffers in memory: before 5.12 against a limit
  // that is often 64 KiB.
  return io_uring_register_buffers(&ring_, vectors.data(), buffers) == 0;
}

}  // namespace

std::unique_ptr<ReadRing> ReadRing::open(unsigned buffers, size_t bufferSize,
                                         unsigned mostInFlight) {
  auto ring = std::make_unique<UringReads>();
  if (!ring->open(buffers, bufferSize, mostInFlight)) return nullptr;
  return ring;
}

}  // namespace vaultcat::platform
