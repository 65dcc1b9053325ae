// The journal, on every system: a header line, which says whether the run
// made its destination, the plan's records (commit_plan.cpp), then the
// marks (Journal::Mark), a letter each. A journal could be made up to move
// what it likes: CommitPlan::read() takes only what an output may write,
// and what follows the records must be marks.
#include "platform/destination/journal.h"

namespace vaultcat::platform {

namespace {

constexpr std::string_view kHeader = "vaultcat journal 3\n";
constexpr std::string_view kMadeHeader = "vaultcat journal 3 made\n";
constexpr uint64_t kMostMarks = 16;

// Written out a few pages at a time.
constexpr size_t kWrittenAtOnce = size_t{64} << 10;

}  // namespace

const uint64_t Journal::kMostBytes = kMadeHeader.size() + CommitPlan::kMostBytes + kMostMarks;

bool Journal::create(At at, const CommitPlan& plan, bool madeDestination) {
  close();
  bool taken = false;
  file_ = createFile(at, taken);
  plan_ = &plan;
  written_ = 0;
  failed_ = false;
  return file_ != -1 && write(madeDestination ? kMadeHeader : kHeader) && writePlan();
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
  if (kHeader.starts_with(*bytes) || kMadeHeader.starts_with(*bytes)) return Contents{};
  const bool made = bytes->starts_with(kMadeHeader);
  if (!made && !bytes->starts_with(kHeader)) return std::nullopt;
  std::string_view rest = std::string_view(*bytes).substr((made ? kMadeHeader : kHeader).size());
  FileIdentity staging;
  if (!at.folder.identify(staging)) return std::nullopt;
  std::optional<CommitPlan> plan = CommitPlan::read(rest, staging);
  if (!plan || rest.size() > kMostMarks) return std::nullopt;
  Contents contents{std::move(*plan), Mark::kNone, made};
  for (const char letter : rest) {
    const auto mark = static_cast<Mark>(letter);
    if (mark != Mark::kCommitting && mark != Mark::kComplete && mark != Mark::kUndoing)
      return std::nullopt;
    contents.last = mark;
  }
  return contents;
}

}  // namespace vaultcat::platform
