// The one pending output, in an atomic word that the handlers read.
#include "platform/process/pending_output.h"

#include <atomic>

namespace vaultcat::platform {

namespace {
std::atomic<PendingOutput*> pending{nullptr};
}  // namespace

void setPendingOutput(PendingOutput* output) { pending.store(output); }
PendingOutput* pendingOutput() { return pending.load(); }

void undoPendingOutput() {
  if (PendingOutput* output = pending.exchange(nullptr)) output->undo();
}

}  // namespace vaultcat::platform
