#include "front_end/console_output.h"

#include "platform/process.h"

namespace vaultcat {

ConsoleOutput::ConsoleOutput(bool usable) : usable_(usable) {
  if (!usable_) markFailed();
  platform::setUnsentText({usable_ ? buffer() : nullptr, &used()});
}

ConsoleOutput::~ConsoleOutput() {
  flush();
  platform::setUnsentText({});
}

bool ConsoleOutput::deliver(std::string_view text) {
  return usable_ && platform::writeStandardOutput(text);
}

}  // namespace vaultcat
