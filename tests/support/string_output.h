// A TextOutput that keeps everything printed in a string.
#pragma once

#include <string>
#include <string_view>

#include "archive/text_output.h"

namespace vaultcat::testsupport {

class StringOutput final : public TextOutput {
 public:
  ~StringOutput() override { flush(); }
  const std::string& text() {
    flush();
    return text_;
  }

 protected:
  bool deliver(std::string_view text) override {
    text_.append(text);
    return true;
  }

 private:
  std::string text_;
};

}  // namespace vaultcat::testsupport
