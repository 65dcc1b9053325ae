// The program's one text output: standard output.
#pragma once

#include <string_view>

#include "archive/text_output.h"

namespace vaultcat {

class ConsoleOutput final : public TextOutput {
 public:
  // `usable` is false when standard output was closed at the start: then
  // nothing is written and every flush() fails. While it lives, what it
  // holds is printed before the line of a fault on reading the cache.
  explicit ConsoleOutput(bool usable);
  ~ConsoleOutput() override;

 protected:
  bool deliver(std::string_view text) override;

 private:
  bool usable_;
};

}  // namespace vaultcat
