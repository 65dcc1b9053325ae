// Mounts on POSIX systems: the mount point checked, the options, and the
// start in the foreground or in a process of its own. The mount itself
// goes through libfuse 3 (mount_session_posix.cpp), where the build found
// it; otherwise mount_unavailable.cpp says so.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/mount/mount.h"
#include "platform/mount/mount_server_posix.h"

namespace vaultcat::platform {

void releaseStandardStreams() {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::dup2(null, fd);
  ::close(null);
}

namespace {

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

// For the serving process: its own session, and no hold on the caller's
// terminal or folder.
void leaveTheCaller() {
  ::setsid();
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::close(null);
  }
  if (::chdir("/") != 0) {
    // It would only keep the folder it started in from being unmounted.
  }
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

// In the background the serving process mounts, says whether it could,
// and learns from the end of a second pipe that this one has ended.
MountOutcome startInBackground(MountServer& server, const std::string& point,
                               const std::string& options, std::string& why) {
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
    leaveTheCaller();
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

}  // namespace

MountOutcome mountTree(MountedTree& tree, const SourceFile& source, const MountRequest& request,
                       std::string& why) {
  if (const std::optional<MountOutcome> cannot = whyCannotMount()) return *cannot;
  std::string point;
  if (const MountOutcome outcome = checkPoint(request.point, point, why);
      outcome != MountOutcome::kServed)
    return outcome;
  MountServer server{tree, source};
  if (::fstat(static_cast<int>(source.handle()), &server.cache) != 0) {
    why = std::strerror(errno);
    return MountOutcome::kFailed;
  }
  std::string options =
      "ro,default_permissions,subtype=vaultcat,fsname=" + optionValue(request.name);
  if (mayAllowOthers()) options += ",allow_other";
  if (request.foreground) return mountAndServe(server, point, options, -1, -1, why);
  return startInBackground(server, point, options, why);
}

}  // namespace vaultcat::platform
