// The program's one text output: standard output.
#pragma once

#include <string_view>

#include "archive/output.h"

namespace vaultcat {

class ConsoleOutput final : public TextOutput {
 public:
  ~ConsoleOutput() override { flush(); }
  // Whether everything delivered so far reached standard output.
  bool healthy();

 protected:
  void deliver(std::string_view text) override;

 private:
  bool failed_ = false;
};

}  // namespace vaultcat
