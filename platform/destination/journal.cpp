// The journal, on every system: a header line, the plan's records
// (commit_plan.cpp), then the marks (Journal::Mark), a letter each.
// A staging folder another user could write into could hold a journal made
// up to move what it likes: CommitPlan::read() takes only what an output
// may write, and what follows the records must be marks.
#include "platform/destination/journal.h"

namespace vaultcat::platform {

namespace {

constexpr std::string_view kHeader = "vaultcat journal 2\n";

// Written out a few pages at a time.
constexpr size_t kWrittenAtOnce = size_t{64} << 10;

}  // namespace

bool Journal::create(At at, const CommitPlan& plan) {
  close();
  bool taken = false;
  file_ = createFile(at, taken);
  plan_ = &plan;
  written_ = 0;
  failed_ = false;
  return file_ != -1 && write(kHeader) && writePlan();
}

void Journal::writeSome() {
  if (plan_ != nullptr && plan_->size() - written_ >= kWrittenAtOnce) writePlan();
}

bool Journal::mark(Mark mark) {
  const char letter = static_cast<char>(mark);
  return plan_ != nullptr && writePlan() && write({&letter, 1});
}

bool Journal::writePlan() {
  const uint64_t from = written_;
  written_ = plan_->size();
  return plan_->recordsFrom(from, [&](std::string_view records) { return write(records); });
}

bool Journal::write(std::string_view bytes) {
  failed_ = failed_ || file_ == -1 || !put(bytes);
  return !failed_;
}

std::optional<Journal::Contents> Journal::read(At at) {
  const std::optional<std::string> bytes = readWhole(at);
  if (!bytes) return std::nullopt;
  // Cut short before its first record: nothing was moved.
  if (kHeader.starts_with(*bytes)) return Contents{};
  if (!bytes->starts_with(kHeader)) return std::nullopt;
  std::string_view rest = std::string_view(*bytes).substr(kHeader.size());
  std::optional<CommitPlan> plan = CommitPlan::read(rest);
  if (!plan) return std::nullopt;
  Contents contents{std::move(*plan), Mark::kNone};
  for (const char letter : rest) {
    const auto mark = static_cast<Mark>(letter);
    if (mark != Mark::kCommitting && mark != Mark::kComplete && mark != Mark::kUndoing)
      return std::nullopt;
    contents.last = mark;
  }
  return contents;
}

}  // namespace vaultcat::platform
