#include <string>
#include <string_view>
#include <vector>

#include "archive/damage_text.h"
#include "front_end/commands.h"
#include "front_end/console_output.h"
#include "front_end/reports.h"
#include "platform/process/process.h"

int main(int argc, char** argv) {
  const bool standardOutputOpen = vaultcat::platform::setUpProcess(
      vaultcat::damageLine(vaultcat::damage_text::kCacheUnreadable));
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  vaultcat::ConsoleOutput out(standardOutputOpen);
  int status = vaultcat::runCommandLine(args, out);
  // A listing that never reached its reader is not a success.
  if (!out.flush()) status = 1;
  // An interrupt during an extraction ends the run only once the
  // destination is as it was: now.
  vaultcat::platform::endIfInterrupted();
  return status;
}
