// Mounts on POSIX systems: libfuse 3's low-level API, served by its
// multi-threaded loop, where the build found libfuse (VAULTCAT_WITH_FUSE).
//
// Every node's number is its inode number and never changes, so the
// kernel's lookup counts need no bookkeeping here, and what it was told
// stays true for as long as the cache is as it was opened: it may keep
// names, attributes and bytes for a day. Reads copy the pieces from the
// cache's descriptor into a buffer and check the cache afterwards, before
// the bytes are sent: bytes spliced straight from the file would reach the
// reader before a change to it could be seen.
#include "platform/mount/mount.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#if VAULTCAT_WITH_FUSE
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/process/process_internal.h"
#endif

namespace vaultcat::platform {

void releaseStandardStreams() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::dup2(null, fd);
  ::close(null);
}

#if !VAULTCAT_WITH_FUSE

std::optional<MountOutcome> whyCannotMount() { return MountOutcome::kNotBuilt; }

MountOutcome mountTree(MountedTree&, const SourceFile&, const MountRequest&, std::string&) {
  return MountOutcome::kNotBuilt;
}

#else

std::optional<MountOutcome> whyCannotMount() { return std::nullopt; }

namespace {

// A day: what the kernel is told stays true.
constexpr double kValidFor = 86400.0;
// How far ahead of a read that waits for the disk the system is asked for
// the file's pieces, all at once: a fragmented file's pieces lie apart in
// the cache, and asked for one by one, each waits for its own read.
constexpr uint64_t kReadAheadMost = uint64_t{1} << 30;
constexpr uint64_t kAskAtOnce = uint64_t{1} << 20;

struct Server {
  MountedTree& tree;
  const SourceFile& source;
  struct stat cache {};  // the owner, permissions and times every node has
};

// An open file, and how far the system was asked to read it ahead.
struct Opened {
  std::unique_ptr<OpenFile> file;
  std::atomic<uint64_t> askedTo{0};
};

Server& serverOf(fuse_req_t request) { return *static_cast<Server*>(fuse_req_userdata(request)); }

// The error to answer with, or 0. Asked after the cache was read: once it
// is not as it was opened, nothing read from it is served.
int errorOf(const Server& server, Answer answer) {
  if (!server.source.unchanged()) return EIO;
  switch (answer) {
    case Answer::kOk:
      return 0;
    case Answer::kMissing:
      return ENOENT;
    case Answer::kUnreadable:
      break;
  }
  return EIO;
}

// Read-only to everyone who may read the cache, folders listable by them.
struct stat statOf(const Server& server, const NodeAttributes& node) {
  struct stat info {};
  const mode_t readable = server.cache.st_mode & 0444;
  info.st_ino = node.node;
  info.st_mode = node.folder ? S_IFDIR | readable | readable >> 2 : S_IFREG | readable;
  // 1 for a folder says "not counted": counting its subfolders would read
  // all it holds.
  info.st_nlink = 1;
  info.st_uid = server.cache.st_uid;
  info.st_gid = server.cache.st_gid;
  info.st_size = static_cast<off_t>(node.size);
  info.st_blksize = 65536;
  info.st_blocks = static_cast<blkcnt_t>((node.size + 511) / 512);
  info.st_atim = server.cache.st_atim;
  info.st_mtim = server.cache.st_mtim;
  info.st_ctim = server.cache.st_ctim;
  return info;
}

fuse_entry_param entryOf(const Server& server, const NodeAttributes& node) {
  fuse_entry_param entry{};
  entry.ino = node.node;
  entry.attr = statOf(server, node);
  entry.attr_timeout = kValidFor;
  entry.entry_timeout = kValidFor;
  return entry;
}

extern "C" void onInit(void*, fuse_conn_info* connection) {
  // Nothing here ever changes: what the kernel keeps stays good.
  connection->want &= ~static_cast<unsigned>(FUSE_CAP_AUTO_INVAL_DATA);
}

extern "C" void onLookup(fuse_req_t request, fuse_ino_t folder, const char* name) {
  const Server& server = serverOf(request);
  NodeAttributes found;
  const int error = errorOf(server, server.tree.lookup(folder, name, found));
  if (error == ENOENT) {
    // A name that is not there stays not there.
    fuse_entry_param none{};
    none.entry_timeout = kValidFor;
    fuse_reply_entry(request, &none);
  } else if (error != 0) {
    fuse_reply_err(request, error);
  } else {
    const fuse_entry_param entry = entryOf(server, found);
    fuse_reply_entry(request, &entry);
  }
}

extern "C" void onGetattr(fuse_req_t request, fuse_ino_t node, fuse_file_info*) {
  const Server& server = serverOf(request);
  NodeAttributes found;
  if (const int error = errorOf(server, server.tree.attributes(node, found)); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  const struct stat info = statOf(server, found);
  fuse_reply_attr(request, &info, kValidFor);
}

// Listings carry each name's kind, which is all a walk such as find's
// needs; listings with every name's attributes (readdirplus) made the
// kernel set up a node for each of them, and find over a million items
// took 5.8 s rather than 0.8 s.
extern "C" void onReaddir(fuse_req_t request, fuse_ino_t folder, size_t size, off_t cursor,
                          fuse_file_info*) {
  const Server& server = serverOf(request);
  thread_local std::vector<char> buffer;
  thread_local std::string name;
  buffer.resize(size);
  size_t used = 0;
  const Answer answer = server.tree.readFolder(
      folder, static_cast<uint64_t>(cursor), [&](const MountedTree::Entry& entry) {
        name.assign(entry.name);
        const auto next = static_cast<off_t>(entry.next);
        const struct stat attributes = statOf(server, entry.attributes);
        const size_t needed = fuse_add_direntry(request, buffer.data() + used, size - used,
                                                name.c_str(), &attributes, next);
        if (needed > size - used) return false;
        used += needed;
        return true;
      });
  // The entries before a break in the folder's list are sent; the next
  // request starts at the break, and fails.
  const int error = errorOf(server, used > 0 ? Answer::kOk : answer);
  if (error != 0) {
    fuse_reply_err(request, error);
  } else {
    fuse_reply_buf(request, buffer.data(), used);
  }
}

extern "C" void onOpen(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
  const Server& server = serverOf(request);
  if ((info->flags & O_ACCMODE) != O_RDONLY) {
    fuse_reply_err(request, EROFS);
    return;
  }
  auto opened = std::make_unique<Opened>();
  std::unique_ptr<OpenFile>& file = opened->file;
  if (const int error = errorOf(server, server.tree.open(node, file)); error != 0) {
    fuse_reply_err(request, error);
    return;
  }
  info->fh = reinterpret_cast<uintptr_t>(opened.get());
  // The kernel reads whole pages, and more ahead: from a file with a part
  // that does not read, a page that holds some of it would fail, good
  // bytes and all, and a read that came back short would be taken for
  // the end of the file. Such a file is read as each reader asks.
  info->keep_cache = file->whole();
  info->direct_io = !file->whole();
  // Where the open was given up meanwhile, no release will come for it.
  if (fuse_reply_open(request, info) == 0) opened.release();
}

// Where a read would wait for the disk, asks the system for the next
// kReadAheadMost of the file in the order its pieces lie in the cache, on a
// thread of its own: a fragmented file's pieces lie apart there, and asked
// for in the file's order each waits for its own read, where in the
// cache's order the disk reads them as one stream. Asked again once the
// reader is past what was asked for, and waits again.
void askAhead(const Server& server, Opened& opened, uint64_t offset, const Piece& first) {
  const auto handle = static_cast<int>(server.source.handle());
  uint64_t asked = opened.askedTo.load();
  if (handle == -1 || offset < asked || server.source.resident(first)) return;
  if (!opened.askedTo.compare_exchange_strong(asked, offset + kReadAheadMost)) return;
  auto ahead = std::make_shared<std::vector<Piece> >();
  static_cast<void>(opened.file->pieces(offset, kReadAheadMost, *ahead));
  std::thread([handle, ahead] {
    std::sort(ahead->begin(), ahead->end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    for (size_t i = 0; i < ahead->size();) {
      Piece run = (*ahead)[i++];
      while (i < ahead->size() && (*ahead)[i].offset == run.offset + run.length)
        run.length += (*ahead)[i++].length;
      // The system reads at most its readahead window for one call.
      for (uint64_t done = 0; done < run.length; done += kAskAtOnce)
        ::posix_fadvise(handle, static_cast<off_t>(run.offset + done),
                        static_cast<off_t>(std::min(run.length - done, kAskAtOnce)),
                        POSIX_FADV_WILLNEED);
    }
  }).detach();
}

// Answers with the bytes asked for, or those before the first that does not
// read (the reader then asks again from there, and is told EIO).
extern "C" void onRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset,
                       fuse_file_info* info) {
  const Server& server = serverOf(request);
  auto& opened = *reinterpret_cast<Opened*>(info->fh);
  thread_local std::vector<Piece> pieces;
  thread_local std::vector<std::byte> buffer;
  pieces.clear();
  Answer answer = opened.file->pieces(static_cast<uint64_t>(offset), size, pieces);
  if (!pieces.empty()) askAhead(server, opened, static_cast<uint64_t>(offset), pieces.front());
  uint64_t total = 0;
  for (const Piece& piece : pieces) total += piece.length;
  buffer.resize(static_cast<size_t>(total));
  size_t done = 0;
  for (const Piece& piece : pieces) {
    const auto bytes = server.source.read(piece, buffer.data() + done);
    if (!bytes) {
      answer = Answer::kUnreadable;
      break;
    }
    if (bytes->data() != buffer.data() + done)
      std::memcpy(buffer.data() + done, bytes->data(), bytes->size());
    done += bytes->size();
  }
  if (const int error = errorOf(server, done > 0 ? Answer::kOk : answer); error != 0) {
    fuse_reply_err(request, error);
  } else {
    fuse_reply_buf(request, reinterpret_cast<const char*>(buffer.data()), done);
  }
}

extern "C" void onRelease(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
  delete reinterpret_cast<Opened*>(info->fh);
  fuse_reply_err(request, 0);
}

constexpr fuse_lowlevel_ops kOperations = [] {
  fuse_lowlevel_ops operations{};
  operations.init = onInit;
  operations.lookup = onLookup;
  operations.getattr = onGetattr;
  operations.readdir = onReaddir;
  operations.open = onOpen;
  operations.read = onRead;
  operations.release = onRelease;
  return operations;
}();

// What libfuse last said, for a failure to mount.
char lastWords[512];
extern "C" void keepWords(fuse_log_level, const char* format, va_list args) {
  std::vsnprintf(lastWords, sizeof lastWords, format, args);
}

std::atomic<fuse_session*> served{nullptr};
// Ends the loop, from a signal handler: its thread's wait is cut short.
extern "C" void endServing(int) {
  if (fuse_session* session = served.load()) fuse_session_exit(session);
}

// Text for a mount option's value: ',' and '\' escaped.
std::string optionValue(std::string_view text) {
  std::string value;
  for (const char c : text) {
    if (c == ',' || c == '\\') value += '\\';
    value += c;
  }
  return value;
}

// Whether others may be let in: always for root; otherwise only where the
// system's FUSE configuration allows it, or the mount would be refused.
bool mayAllowOthers() {
  if (::geteuid() == 0) return true;
  std::ifstream config("/etc/fuse.conf");
  for (std::string line; std::getline(config, line);)
    if (line.rfind("user_allow_other", 0) == 0) return true;
  return false;
}

MountOutcome checkPoint(const std::string& point, std::string& absolute, std::string& why) {
  struct statx info {};
  if (::statx(AT_FDCWD, point.c_str(), 0, STATX_TYPE, &info) != 0) {
    if (errno == ENOENT) return MountOutcome::kNoFolder;
    if (errno == ENOTDIR) return MountOutcome::kNotAFolder;
    // A mount there whose server has gone.
    if (errno == ENOTCONN) return MountOutcome::kBusy;
    why = std::strerror(errno);
    return MountOutcome::kFailed;
  }
  if (!S_ISDIR(info.stx_mode)) return MountOutcome::kNotAFolder;
  if ((info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
    return MountOutcome::kBusy;
  // The serving process leaves the working directory, and unmounts by
  // this path.
  char resolved[PATH_MAX];
  if (::realpath(point.c_str(), resolved) == nullptr) {
    why = std::strerror(errno);
    return MountOutcome::kFailed;
  }
  absolute = resolved;
  return MountOutcome::kServed;
}

// Serves until the mount ends: unmounted, or an interrupt (noted). In the
// background, `callerGone` ends when the process that returned has ended,
// and the tree starts its own work only then, so that what it prints comes
// after all the caller printed.
void serve(Server& server, fuse_session* session, int callerGone) {
  // The tree's own threads leave interrupts to the loop's threads, whose
  // waits an interrupt cuts short: in one of the tree's, the loop would
  // go on until the next request came.
  sigset_t interrupts, before;
  sigfillset(&interrupts);
  sigdelset(&interrupts, SIGBUS);
  sigdelset(&interrupts, SIGSEGV);
  ::pthread_sigmask(SIG_BLOCK, &interrupts, &before);
  std::thread waiter;
  if (callerGone < 0) {
    server.tree.serving();
  } else {
    waiter = std::thread([&server, callerGone] {
      char byte;
      ssize_t n = 0;
      do {
        n = ::read(callerGone, &byte, 1);
      } while (n < 0 && errno == EINTR);
      ::close(callerGone);
      server.tree.serving();
    });
  }
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_session_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);
  if (waiter.joinable()) waiter.join();
  server.tree.finish();
}

// Mounts and serves until the mount ends. `report`, if given, is told
// first whether the mount is in place: 'y', or 'n' and why not.
MountOutcome mountAndServe(Server& server, const std::string& point, const std::string& options,
                           int report, int callerGone, std::string& why) {
  lastWords[0] = '\0';
  fuse_set_log_func(keepWords);
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  for (const char* word : {"vaultcat", "-o", options.c_str()}) fuse_opt_add_arg(&args, word);
  fuse_session* session = fuse_session_new(&args, &kOperations, sizeof kOperations, &server);
  fuse_opt_free_args(&args);
  // From before the mount is in place to after it is gone, an interrupt
  // ends the loop rather than the process.
  served.store(session);
  divertInterrupts(endServing);
  keepServingAfterFaults();
  const bool mounted = session != nullptr && fuse_session_mount(session, point.c_str()) == 0;
  if (report >= 0) {
    const std::string said = mounted ? "y" : "n" + std::string(lastWords);
    (void)!::write(report, said.data(), said.size());
    ::close(report);
  }
  if (!mounted) {
    divertInterrupts(nullptr);
    served.store(nullptr);
    if (session != nullptr) fuse_session_destroy(session);
    why = lastWords;
    return MountOutcome::kFailed;
  }
  serve(server, session, callerGone);
  fuse_session_unmount(session);
  divertInterrupts(nullptr);
  served.store(nullptr);
  fuse_session_destroy(session);
  return MountOutcome::kServed;
}

// What a pipe holds until its other end is closed.
std::string readToEnd(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  ::close(fd);
  return text;
}

}  // namespace

MountOutcome mountTree(MountedTree& tree, const SourceFile& source, const MountRequest& request,
                       std::string& why) {
  std::string point;
  if (const MountOutcome outcome = checkPoint(request.point, point, why);
      outcome != MountOutcome::kServed)
    return outcome;
  Server server{tree, source};
  if (::fstat(static_cast<int>(source.handle()), &server.cache) != 0) {
    why = std::strerror(errno);
    return MountOutcome::kFailed;
  }
  std::string options =
      "ro,default_permissions,subtype=vaultcat,fsname=" + optionValue(request.name);
  if (mayAllowOthers()) options += ",allow_other";
  if (request.foreground) return mountAndServe(server, point, options, -1, -1, why);
  // In the background the serving process mounts, says whether it could,
  // and learns from the end of a second pipe that this one has ended.
  int report[2], gone[2];
  const pid_t child =
      ::pipe2(report, O_CLOEXEC) == 0 && ::pipe2(gone, O_CLOEXEC) == 0 ? ::fork() : -1;
  if (child < 0) {
    why = std::strerror(errno);
    return MountOutcome::kFailed;
  }
  if (child == 0) {
    ::close(report[0]);
    ::close(gone[1]);
    // Its own session, and no hold on the caller's terminal or folder.
    ::setsid();
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDIN_FILENO);
      ::close(null);
    }
    if (::chdir("/") != 0) {
      // It would only keep the folder it started in from being unmounted.
    }
    // A failure is the caller's to tell.
    mountAndServe(server, point, options, report[1], gone[0], why);
    return MountOutcome::kServed;
  }
  ::close(report[1]);
  ::close(gone[0]);
  const std::string said = readToEnd(report[0]);
  if (said != "y") {
    why = said.empty() ? "the process that would serve it ended" : said.substr(1);
    return MountOutcome::kFailed;
  }
  // Answered once the serving process answers.
  struct stat root {};
  if (::stat(point.c_str(), &root) != 0) {
    why = "the process that serves it ended";
    ::umount2(point.c_str(), MNT_DETACH);
    return MountOutcome::kFailed;
  }
  return MountOutcome::kInBackground;
}

#endif

}  // namespace vaultcat::platform
