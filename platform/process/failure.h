// Why the system layer could not make, place or take back an output: a
// kind, and for the system's own refusals its error number. Wording it for
// the user is the front end's.
#pragma once

#include <cstdint>
#include <string>

namespace vaultcat::platform {

struct Failure {
  enum class Kind : uint8_t {
    kNone,
    kSystem,          // a call failed: `code` is the system's error number
    kChanged,         // what is at the path is not what the run saw there before
    kInTheWay,        // something the run never replaces nor enters is at the path
    kCannotKeep,      // the file system can neither swap two names nor move the file it
                      // replaces aside: the replacement could not be taken back
    kTooLong,         // the path is longer than this system takes
    kBusy,            // another run is extracting into the same destination
    kCannotTakeBack,  // a commit could not be taken back: the user's files are kept
    kTooMany,         // the run would make more moves than its journal may hold
    kInterrupted,     // the run is to stop (mustStop()): an interrupt came, or standard
                      // output's reader went away; nothing failed
  };
  Kind kind = Kind::kNone;
  int code = 0;

  bool failed() const { return kind != Kind::kNone; }
  // The error of the system call that just failed (errno, GetLastError()).
  static Failure ofSystem();
};

// The system's own words for its error number `code`.
std::string systemErrorText(int code);

}  // namespace vaultcat::platform
