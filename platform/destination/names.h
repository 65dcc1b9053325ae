// Names as this system has them: how it spells a name stored in a cache,
// and which names its folders tell apart. names_posix.cpp and
// names_win32.cpp implement it; the build picks one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vaultcat::platform {

// A name stored in a cache as this system spells it. On POSIX systems a
// name is bytes, so the spelling is the stored bytes. On Windows, a name
// that is not UTF-8 was written where names were in the system's ANSI code
// page (as the console program of old read them), and is read in it.
class Spelling {
 public:
  explicit Spelling(std::string_view stored);

  std::string_view text() const { return converted_ ? std::string_view(*converted_) : stored_; }
  // Whether text() is other than the stored bytes.
  bool converted() const { return converted_.has_value(); }

 private:
  std::string_view stored_;
  std::optional<std::string> converted_;
};

// `name` as the system's folders tell names apart: two names with one key
// cannot both be in one folder. Byte for byte on POSIX systems; on Windows
// letters in either case are one.
std::string nameKey(std::string_view name);

}  // namespace vaultcat::platform
