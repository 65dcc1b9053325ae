// How an operation on a cache ended. The lookups, the tree walk, the
// extraction writer and the output all answer with a Status; damage_text.h
// words what is damaged. (Opening a cache answers with open()'s bool and
// lastError(); a lookup that finds nothing answers with no index.)
#pragma once

#include <string>
#include <utility>

namespace vaultcat {

struct Status {
  enum class Kind {
    kOk,
    kDamaged,          // a link or record cannot be followed; `damage` says which
    kOutputFailed,     // the output refused bytes
    kCacheUnreadable,  // the cache's bytes could not be read: it shrank or its disk failed
    kStopped,          // the run is to stop: an interrupt, or a reader gone; nothing failed
  };
  Kind kind = Kind::kOk;
  std::string damage;  // completes the line "Corrupt file: ...."; empty for kOk, kOutputFailed

  static Status corrupt(std::string what) { return {Kind::kDamaged, std::move(what)}; }
  bool ok() const { return kind == Kind::kOk; }
  bool damaged() const { return kind == Kind::kDamaged; }
};

}  // namespace vaultcat
