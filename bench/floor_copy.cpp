// floor_copy: copies the scattered bytes of one file of a cache to an output
// file as fast as this machine allows, with no checks: not of the cache,
// not of the places it is given. bench/run times vaultcat x against it in
// the fragmented cases, to show how far we are from what the machine can do.
//
//   floor_copy [--method M] [--order O] EXTENTS CACHE OUTPUT
//
// EXTENTS is what make_bench_caches writes beside a cache: one record per
// piece, of three little-endian 64-bit words (offset in the cache, length,
// offset in the file). The bytes move through staging buffers of 256 KiB,
// each filled by one batch, into an output reserved first: in the file's
// order (--order file), a buffer is filled by one read per piece and written
// in one call; in the cache's order (--order cache, the default), filled by
// one read and written in one call per piece.
//
// Methods (--method):
//   pread       one call per read and one per write
//   mapped      no reads: each write gathers its pieces from a mapping of the
//               cache, so every byte is copied once
//   uring-read  the reads through io_uring, 8 buffers in flight, each written
//               with pwrite once its reads complete (the default)
//   uring       the writes through io_uring too
//   splice      io_uring splice from the cache into a pipe per buffer and
//               from the pipe into the output: no copy through this process,
//               but each splice is handed to the kernel's workers
//
// Measured for the shuffled 1 GiB of 8 KiB blocks on ext4 (2 cores, a
// virtual disk, with other builds running: the spread was wide), in bench/
// run's page-cache states, medians of 5 to 9 runs, in seconds:
//
//                  read-through     as-written       cold
//                  file   cache     file   cache     file   cache
//   cat of big.bin     0.30             1.51             0.69
//   pread          1.04   0.71      2.36   0.89      5.36   1.95
//   mapped         0.84   0.66      2.32   0.95      2.06   1.59
//   uring-read     1.01   0.65      2.52   0.87      2.30   1.21
//   uring          1.19   1.29      2.16   0.60      2.41   1.73
//   splice         2.22   1.23      2.75   1.12      4.25   1.47
//
// Writing the output in its order was the faster only now and then (mapped:
// 0.30 to 1.12 s read through), and reading the cache out of its order waits
// for the disk, so the default reads in the cache's order, through io_uring.
#include <fcntl.h>
#include <liburing.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr uint32_t kStagingSize = uint32_t{256} << 10;
constexpr unsigned kBuffersInFlight = 8;

struct Extent {
  uint64_t source, length, output;
};

// One transfer between a file and a staging buffer.
struct Op {
  uint64_t file;    // offset in the cache (a read) or the output (a write)
  uint32_t staged;  // offset in the buffer
  uint32_t length;
};

struct Batch {
  std::vector<Op> reads, writes;
};

[[noreturn]] void fail(const std::string& what, int error = errno) {
  std::fprintf(stderr, "floor_copy: %s: %s\n", what.c_str(), std::strerror(error));
  std::exit(1);
}

std::vector<Extent> readExtents(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) fail(path);
  std::vector<unsigned char> bytes(static_cast<size_t>(st.st_size));
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail(path, n == 0 ? EIO : errno);
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  auto word = [&](size_t at) {
    uint64_t v = 0;
    for (size_t k = 0; k < 8; ++k) v |= uint64_t{bytes[at + k]} << (8 * k);
    return v;
  };
  std::vector<Extent> extents;
  for (size_t at = 0; at + 24 <= bytes.size(); at += 24) {
    // A piece longer than a buffer is cut into pieces that fit one.
    Extent e{word(at), word(at + 8), word(at + 16)};
    while (e.length > 0) {
      const uint64_t length = std::min<uint64_t>(e.length, kStagingSize);
      extents.push_back({e.source, length, e.output});
      e = {e.source + length, e.length - length, e.output + length};
    }
  }
  return extents;
}

// Appends a transfer, as part of the one before where both continue it.
void add(std::vector<Op>& ops, uint64_t file, uint32_t staged, uint32_t length) {
  if (!ops.empty()) {
    Op& last = ops.back();
    if (last.file + last.length == file && last.staged + last.length == staged) {
      last.length += length;
      return;
    }
  }
  ops.push_back({file, staged, length});
}

// The extents, in the order given, cut into batches that each fill a buffer.
std::vector<Batch> batchesOf(const std::vector<Extent>& extents) {
  std::vector<Batch> batches;
  uint32_t staged = kStagingSize;
  for (const Extent& e : extents) {
    const auto length = static_cast<uint32_t>(e.length);
    if (staged + length > kStagingSize) {
      batches.emplace_back();
      staged = 0;
    }
    add(batches.back().reads, e.source, staged, length);
    add(batches.back().writes, e.output, staged, length);
    staged += length;
  }
  return batches;
}

void transferAll(bool write, int fd, char* buffer, const Op& op) {
  for (uint32_t done = 0; done < op.length;) {
    const auto at = static_cast<off_t>(op.file + done);
    const ssize_t n = write ? ::pwrite(fd, buffer + op.staged + done, op.length - done, at)
                            : ::pread(fd, buffer + op.staged + done, op.length - done, at);
    if (n <= 0) fail(write ? "pwrite" : "pread", n == 0 ? EIO : errno);
    done += static_cast<uint32_t>(n);
  }
}

void copyWithCalls(const std::vector<Batch>& batches, int cache, int output) {
  const auto buffer = std::make_unique<char[]>(kStagingSize);
  for (const Batch& b : batches) {
    for (const Op& op : b.reads) transferAll(false, cache, buffer.get(), op);
    for (const Op& op : b.writes) transferAll(true, output, buffer.get(), op);
  }
}

// Each write gathers its bytes straight from a mapping of the cache, so the
// bytes are copied once, by the write; the mapping is filled in one go where
// the cache is in the page cache.
void copyFromMapping(const std::vector<Batch>& batches, int cache, int output, bool populate) {
  struct stat st {};
  if (::fstat(cache, &st) != 0) fail("fstat");
  const auto size = static_cast<size_t>(st.st_size);
  void* map =
      ::mmap(nullptr, size, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), cache, 0);
  if (map == MAP_FAILED) fail("mmap");
  if (!populate) ::madvise(map, size, MADV_SEQUENTIAL);
  const char* bytes = static_cast<const char*>(map);
  std::vector<iovec> iov;
  for (const Batch& b : batches) {
    size_t r = 0;
    for (const Op& w : b.writes) {
      iov.clear();
      uint64_t total = 0;
      for (uint32_t at = w.staged, end = w.staged + w.length; at < end;) {
        while (b.reads[r].staged + b.reads[r].length <= at) ++r;
        const Op& read = b.reads[r];
        const uint32_t from = at - read.staged;
        const uint32_t n = std::min(read.length - from, end - at);
        iov.push_back({const_cast<char*>(bytes + read.file + from), n});
        total += n;
        at += n;
      }
      const ssize_t n =
          ::pwritev(output, iov.data(), static_cast<int>(iov.size()), static_cast<off_t>(w.file));
      if (n < 0 || static_cast<uint64_t>(n) != total) fail("pwritev", n < 0 ? errno : EIO);
    }
  }
  ::munmap(map, size);
}

enum class Method { kCalls, kMapped, kRingReads, kRing, kSplice };

// A buffer in flight: the batch it holds, and how many of its operations
// have yet to complete.
struct Slot {
  const Batch* batch = nullptr;
  bool writing = false;
  size_t pending = 0;
  size_t step = 0;    // splice: the operation under way, of the reads and then the writes
  uint32_t done = 0;  // and the bytes of it moved so far
  int pipe[2] = {-1, -1};
};

class Ring {
 public:
  Ring(Method method, const std::vector<Batch>& batches, int cache, int output)
      : method_(method), batches_(batches), cache_(cache), output_(output) {
    size_t most = 1;
    for (const Batch& b : batches) most = std::max(most, b.reads.size() + b.writes.size());
    unsigned entries = 1;
    while (entries < kBuffersInFlight * most && entries < 4096) entries *= 2;
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    int error = io_uring_queue_init_params(entries, &ring_, &params);
    if (error < 0) {
      // A kernel before 6.1 has neither flag.
      params = {};
      error = io_uring_queue_init_params(entries, &ring_, &params);
    }
    if (error < 0) fail("io_uring_queue_init", -error);
    memory_ = static_cast<char*>(std::aligned_alloc(4096, size_t{kStagingSize} * kBuffersInFlight));
    if (memory_ == nullptr) fail("aligned_alloc", ENOMEM);
    std::vector<iovec> buffers(kBuffersInFlight);
    for (unsigned i = 0; i < kBuffersInFlight; ++i) buffers[i] = {buffer(i), kStagingSize};
    if (method_ != Method::kSplice) {
      error = io_uring_register_buffers(&ring_, buffers.data(), kBuffersInFlight);
      if (error < 0) fail("io_uring_register_buffers", -error);
    }
    for (Slot& s : slots_) {
      if (method_ != Method::kSplice) continue;
      if (::pipe2(s.pipe, O_CLOEXEC) != 0) fail("pipe2");
      // A pipe holds pages, and a piece of the cache that does not start on
      // one takes a page more: twice a buffer holds any batch.
      if (::fcntl(s.pipe[1], F_SETPIPE_SZ, static_cast<int>(2 * kStagingSize)) < 0)
        fail("F_SETPIPE_SZ");
    }
  }

  ~Ring() {
    for (Slot& s : slots_)
      for (int fd : s.pipe)
        if (fd >= 0) ::close(fd);
    io_uring_queue_exit(&ring_);
    std::free(memory_);
  }

  void run() {
    for (unsigned i = 0; i < kBuffersInFlight; ++i) start(i);
    while (busy_ > 0) {
      io_uring_submit_and_wait(&ring_, 1);
      io_uring_cqe* cqe = nullptr;
      unsigned head = 0, seen = 0;
      io_uring_for_each_cqe(&ring_, head, cqe) {
        ++seen;
        const uint64_t data = io_uring_cqe_get_data64(cqe);
        if (method_ == Method::kSplice) {
          spliced(static_cast<unsigned>(data >> 32), cqe->res);
          continue;
        }
        if (cqe->res < 0 || static_cast<uint32_t>(cqe->res) != static_cast<uint32_t>(data))
          fail("an operation of the ring", cqe->res < 0 ? -cqe->res : EIO);
        complete(static_cast<unsigned>(data >> 32));
      }
      io_uring_cq_advance(&ring_, seen);
    }
  }

 private:
  char* buffer(unsigned slot) const { return memory_ + size_t{kStagingSize} * slot; }

  io_uring_sqe* sqe() {
    io_uring_sqe* s = io_uring_get_sqe(&ring_);
    if (s == nullptr) {
      io_uring_submit(&ring_);
      s = io_uring_get_sqe(&ring_);
    }
    if (s == nullptr) fail("io_uring_get_sqe", EBUSY);
    return s;
  }

  // What a completion names: its buffer, and the bytes it must have moved.
  void tag(unsigned slot, io_uring_sqe* s, uint32_t length) {
    io_uring_sqe_set_data64(s, uint64_t{slot} << 32 | length);
  }

  void start(unsigned slot) {
    Slot& s = slots_[slot];
    if (next_ == batches_.size()) {
      if (s.batch != nullptr) --busy_;
      s.batch = nullptr;
      return;
    }
    if (s.batch == nullptr) ++busy_;
    s.batch = &batches_[next_++];
    s.writing = false;
    const auto index = static_cast<int>(slot);
    if (method_ == Method::kSplice) {
      s.step = 0;
      s.done = 0;
      return splice(slot);
    }
    s.pending = s.batch->reads.size();
    for (const Op& op : s.batch->reads) {
      io_uring_sqe* e = sqe();
      io_uring_prep_read_fixed(e, cache_, buffer(slot) + op.staged, op.length, op.file, index);
      tag(slot, e, op.length);
    }
  }

  // The next splice of a buffer's pipe: into it in the order of the
  // buffer's reads, then out of it in the order of its writes, one at a time
  // (a splice may move less than asked, up to the end of a page of the
  // cache, and the rest of a linked chain would then be cancelled).
  void splice(unsigned slot) {
    Slot& s = slots_[slot];
    const size_t reads = s.batch->reads.size();
    const bool in = s.step < reads;
    const Op& op = in ? s.batch->reads[s.step] : s.batch->writes[s.step - reads];
    io_uring_sqe* e = sqe();
    const auto at = static_cast<int64_t>(op.file + s.done);
    if (in)
      io_uring_prep_splice(e, cache_, at, s.pipe[1], -1, op.length - s.done, 0);
    else
      io_uring_prep_splice(e, s.pipe[0], -1, output_, at, op.length - s.done, 0);
    io_uring_sqe_set_data64(e, uint64_t{slot} << 32);
  }

  void spliced(unsigned slot, int moved) {
    Slot& s = slots_[slot];
    if (moved <= 0) fail("splice", moved < 0 ? -moved : EIO);
    const size_t reads = s.batch->reads.size();
    const Op& op = s.step < reads ? s.batch->reads[s.step] : s.batch->writes[s.step - reads];
    s.done += static_cast<uint32_t>(moved);
    if (s.done == op.length) {
      s.done = 0;
      if (++s.step == reads + s.batch->writes.size()) return start(slot);
    }
    splice(slot);
  }

  void complete(unsigned slot) {
    Slot& s = slots_[slot];
    if (--s.pending > 0) return;
    if (s.writing) return start(slot);
    if (method_ == Method::kRingReads) {
      for (const Op& op : s.batch->writes) transferAll(true, output_, buffer(slot), op);
      return start(slot);
    }
    s.writing = true;
    s.pending = s.batch->writes.size();
    for (const Op& op : s.batch->writes) {
      io_uring_sqe* e = sqe();
      io_uring_prep_write_fixed(e, output_, buffer(slot) + op.staged, op.length, op.file,
                                static_cast<int>(slot));
      tag(slot, e, op.length);
    }
  }

  Method method_;
  const std::vector<Batch>& batches_;
  int cache_, output_;
  io_uring ring_{};
  char* memory_ = nullptr;
  Slot slots_[kBuffersInFlight];
  size_t next_ = 0;
  unsigned busy_ = 0;
};

int usage() {
  std::fputs(
      "usage: floor_copy [--method pread|mapped|uring-read|uring|splice] [--order file|cache] "
      "EXTENTS CACHE OUTPUT\n",
      stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Method method = Method::kRingReads;
  std::string_view order = "cache";
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--method" && i + 1 < argc) {
      const std::string_view m = argv[++i];
      if (m == "pread")
        method = Method::kCalls;
      else if (m == "mapped")
        method = Method::kMapped;
      else if (m == "uring-read")
        method = Method::kRingReads;
      else if (m == "uring")
        method = Method::kRing;
      else if (m == "splice")
        method = Method::kSplice;
      else
        return usage();
    } else if (arg == "--order" && i + 1 < argc) {
      order = argv[++i];
      if (order != "file" && order != "cache") return usage();
    } else if (arg.starts_with("--")) {
      return usage();
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 3) return usage();

  std::vector<Extent> extents = readExtents(paths[0]);
  const int cache = ::open(paths[1], O_RDONLY | O_CLOEXEC);
  if (cache < 0) fail(paths[1]);
  const int output = ::open(paths[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) fail(paths[2]);
  uint64_t size = 0;
  for (const Extent& e : extents) size = std::max(size, e.output + e.length);

  if (order == "cache") {
    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.source < b.source; });
  }
  // Written out of order, each piece would be an extent of its own to the
  // file system until written back; and in order too, the reserved output
  // is written faster here.
  ::fallocate(output, 0, 0, static_cast<off_t>(size));
  const std::vector<Batch> batches = batchesOf(extents);
  if (method == Method::kCalls)
    copyWithCalls(batches, cache, output);
  else if (method == Method::kMapped)
    copyFromMapping(batches, cache, output, order == "file");
  else
    Ring(method, batches, cache, output).run();
  if (::ftruncate(output, static_cast<off_t>(size)) != 0) fail("ftruncate");
  if (::close(output) != 0) fail("close");
  return 0;
}
