// The output being written, which must be undone if the run does not
// complete: one at a time, known to the process's handlers. Nothing outside
// platform/ includes it.
#pragma once

namespace vaultcat::platform {

class PendingOutput {
 public:
  // Leaves the destination as it was before the output began.
  virtual void undo() = 0;

 protected:
  ~PendingOutput() = default;
};

// Makes `output` the one pending, or none for null. While one is, an
// interrupt is noted for the run to end by rather than ending it at once,
// and a fault on reading the cache is noted (faulted()) rather than ending
// it, so that the run undoes the output in its own time.
void setPendingOutput(PendingOutput* output);
PendingOutput* pendingOutput();
// Undoes the pending output, if there is one, and forgets it.
void undoPendingOutput();

}  // namespace vaultcat::platform
