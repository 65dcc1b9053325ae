#include "front_end/console_output.h"

#include "archive/platform.h"

namespace vaultcat {

ConsoleOutput::ConsoleOutput(bool usable) : usable_(usable) {
  if (!usable_) markFailed();
  platform::setPendingText({usable_ ? buffer() : nullptr, &used()});
}

ConsoleOutput::~ConsoleOutput() {
  flush();
  platform::setPendingText({});
}

bool ConsoleOutput::deliver(std::string_view text) {
  return usable_ && platform::writeStandardOutput(text);
}

}  // namespace vaultcat
