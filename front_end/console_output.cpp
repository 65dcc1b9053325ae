#include "front_end/console_output.h"

#include <utility>

#include "platform/process/process.h"

namespace vaultcat {

ConsoleOutput::ConsoleOutput(bool usable) : ConsoleOutput(usable, std::make_unique<Unsent>()) {}

ConsoleOutput::ConsoleOutput(bool usable, std::unique_ptr<Unsent> unsent)
    : TextOutput(unsent->text, unsent->used), unsent_(std::move(unsent)), usable_(usable) {
  if (!usable_) markFailed();
  // Names go to a terminal, where their bytes must not act on it.
  if (platform::standardOutputIsTerminal()) escapeNames();
  platform::setUnsentText({usable_ ? unsent_->text : nullptr, &unsent_->used});
}

ConsoleOutput::~ConsoleOutput() {
  flush();
  platform::setUnsentText({});
}

void ConsoleOutput::sayAside(std::string_view line) { platform::writeStandardError(line); }

bool ConsoleOutput::deliver(std::string_view text) {
  // Once an interrupt has come, the run only leaves the destination as it
  // was and ends: nothing more is said.
  return usable_ && platform::interruption() == 0 && platform::writeStandardOutput(text);
}

}  // namespace vaultcat
