// The kernel's requests about a mount on POSIX systems, answered through
// libfuse 3's low-level API from the tree, many at once on the threads of
// its loop.
//
// Every node's number is its inode number and never changes, so the
// kernel's lookup counts need no bookkeeping here, and what it was told
// stays true for as long as the cache is as it was opened: it may keep
// names, attributes and bytes for a day. Reads copy the pieces from the
// cache's descriptor into a buffer and check the cache afterwards, before
// the bytes are sent: bytes spliced straight from the file would reach the
// reader before a change to it could be seen.
#define FUSE_USE_VERSION 312
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/mount/mount_server_posix.h"

namespace vaultcat::platform {

namespace {

// A day: what the kernel is told stays true.
constexpr double kValidFor = 86400.0;
// How far ahead of a read that waits for the disk the system is asked for
// the file's pieces, all at once: a fragmented file's pieces lie apart in
// the cache, and asked for one by one, each waits for its own read.
constexpr uint64_t kReadAheadMost = uint64_t{1} << 30;
constexpr uint64_t kAskAtOnce = uint64_t{1} << 20;

// An open file, and how far the system was asked to read it ahead.
struct Opened {
  std::unique_ptr<OpenFile> file;
  std::atomic<uint64_t> askedTo{0};
};

MountServer& serverOf(fuse_req_t request) {
  return *static_cast<MountServer*>(fuse_req_userdata(request));
}

// The error to answer with, or 0. Asked after the cache was read: once it
// is not as it was opened, nothing read from it is served.
int errorOf(const MountServer& server, Answer answer) {
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
struct stat statOf(const MountServer& server, const NodeAttributes& node) {
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

fuse_entry_param entryOf(const MountServer& server, const NodeAttributes& node) {
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
  const MountServer& server = serverOf(request);
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
  const MountServer& server = serverOf(request);
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
  const MountServer& server = serverOf(request);
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
  const MountServer& server = serverOf(request);
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
void askAhead(const MountServer& server, Opened& opened, uint64_t offset, const Piece& first) {
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
  const MountServer& server = serverOf(request);
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

}  // namespace

const fuse_lowlevel_ops& requestHandlers() {
  static constexpr fuse_lowlevel_ops kOperations = [] {
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
  return kOperations;
}

}  // namespace vaultcat::platform
