// A TextOutput that keeps everything printed in a string.
#pragma once

#include "front_end/text_output.h"

namespace vaultcat::testsupport {

using StringOutput = vaultcat::StringOutput;

}  // namespace vaultcat::testsupport
