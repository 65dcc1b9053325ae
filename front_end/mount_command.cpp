// The mount command: `m gcf_file mountpoint`, the cache read-only at a
// folder, for any program to read, until it is unmounted. Quiet when all
// goes well, as mounting programs are: a script goes on with the next line.
#include <filesystem>
#include <string>
#include <vector>

#include "front_end/command_steps.h"
#include "front_end/commands.h"
#include "front_end/mounted_cache.h"
#include "platform/mount/mount.h"

namespace vaultcat {

namespace {

using platform::MountOutcome;

// Says why the cache could not be mounted at `point`; false.
bool cannotMount(MountOutcome outcome, std::string_view point, std::string_view why,
                 TextOutput& out) {
  switch (outcome) {
    case MountOutcome::kNotOnThisSystem:
      out.put("Mounting needs a system with FUSE, such as Linux\n");
      return false;
    case MountOutcome::kNotBuilt:
      out.put(
          "This vaultcat was built without libfuse 3, so it cannot mount: build it where "
          "libfuse3-dev is installed\n");
      return false;
    default:
      break;
  }
  out.print("Couldn't mount at ", Name{point}, ": ");
  switch (outcome) {
    case MountOutcome::kNoFolder:
      out.put("there is no such folder\n");
      break;
    case MountOutcome::kNotAFolder:
      out.put("it is not a folder\n");
      break;
    case MountOutcome::kBusy:
      out.put("something is mounted there already\n");
      break;
    default:
      out.print(Name{why.empty() ? std::string_view("the system refused") : why}, "\n");
      break;
  }
  return false;
}

}  // namespace

int mountCommand(const CommandLine& line, CacheArchive& archive, const CacheTitleTable&,
                 TextOutput& out) {
  const bool foreground = line.options.foreground;
  const std::vector<std::string_view>& words = line.words;
  if (words.size() < 3) {
    out.put("You must supply the gcf filename and a folder to mount it at.\n");
    return kFailure;
  }
  if (const std::optional<MountOutcome> why = platform::whyCannotMount()) {
    cannotMount(*why, words[2], {}, out);
    return kFailure;
  }
  const std::string archivePath(words[1]);
  // Of a cache cut short, what it holds is served, and the rest fails to
  // read.
  if (!openArchive(archive, archivePath, out, CacheArchive::Extent::kMayBeCut)) return kFailure;
  // Nothing is served to a caller who cannot be told what went wrong; and
  // what is buffered must not be written twice by two processes.
  if (!out.flush()) return kFailure;
  std::error_code ignored;
  const platform::MountRequest request{std::string(words[2]), foreground,
                                       std::filesystem::absolute(archivePath, ignored).string()};
  MountedCache tree(archive, out, !foreground);
  std::string why;
  const MountOutcome outcome = platform::mountTree(tree, archive.source(), request, why);
  if (outcome == MountOutcome::kServed || outcome == MountOutcome::kInBackground) return kSuccess;
  cannotMount(outcome, request.point, why, out);
  return kFailure;
}

}  // namespace vaultcat
