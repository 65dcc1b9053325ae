#include "front_end/console_output.h"

#include <cstdio>

namespace vaultcat {

void ConsoleOutput::deliver(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) failed_ = true;
}

bool ConsoleOutput::healthy() {
  flush();
  if (std::fflush(stdout) != 0) failed_ = true;
  return !failed_;
}

}  // namespace vaultcat
