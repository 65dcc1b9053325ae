// The program's one text output: standard output.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>

#include "front_end/text_output.h"

namespace vaultcat {

class ConsoleOutput final : public TextOutput {
 public:
  // `usable` is false when standard output was closed at the start: then
  // nothing is written and every flush() fails. While it lives, what it
  // holds is printed before the line of a fault on reading the cache.
  explicit ConsoleOutput(bool usable);
  ~ConsoleOutput() override;

  // On standard error.
  void sayAside(std::string_view line) override;

 protected:
  bool deliver(std::string_view text) override;

 private:
  // The text printed and not yet written out: the fault handler writes
  // text[0, used) before its own line, and may read both at any moment.
  struct Unsent {
    char text[kBufferSize];
    std::atomic<size_t> used = 0;
  };
  ConsoleOutput(bool usable, std::unique_ptr<Unsent> unsent);

  std::unique_ptr<Unsent> unsent_;
  bool usable_;
};

}  // namespace vaultcat
