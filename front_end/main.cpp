#include <string_view>
#include <vector>

#include "front_end/commands.h"
#include "front_end/console_output.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  vaultcat::ConsoleOutput out;
  int status = vaultcat::runCommandLine(args, out);
  // A listing that never reached its reader is not a success.
  if (!out.healthy()) status = 1;
  return status;
}
