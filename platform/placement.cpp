// What both systems share of placement: which files are protected.
#include "platform/placement.h"

#include "platform/process.h"

namespace vaultcat::platform {

std::vector<FileIdentity> protectedFiles(const SourceFile& source) {
  std::vector<FileIdentity> files;
  if (source.handle() != -1) files.push_back(source.identity());
  if (std::optional<FileIdentity> standardOutput = standardOutputFile())
    files.push_back(*standardOutput);
  return files;
}

}  // namespace vaultcat::platform
