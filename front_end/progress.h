// What a long run shows of itself while it goes: the tree command and the
// check. On a terminal, one status line redrawn a few times a second, with
// the files and bytes done (of the total, where it is known), the rate and
// the path at hand, so that neither a blank screen nor a flood of lines
// meets the user. To a file or a pipe, or with -v, a line for each file
// instead, which scripts and logs keep; with -q neither.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "front_end/command_line.h"
#include "front_end/text_output.h"

namespace vaultcat {

class Progress {
 public:
  enum class Show { kFileLines, kStatusLine, kNothing };
  // What the options ask for, where standard output goes.
  static Show chosen(const Options& options);

  Progress(TextOutput& out, Show show);

  // Whether a line is printed for each file.
  bool fileLines() const { return show_ == Show::kFileLines; }
  // Whether only what went wrong and the summary are printed.
  bool quiet() const { return show_ == Show::kNothing; }

  // Begins a pass, counted afresh: what it does ("Writing") and the files
  // and bytes it will do, 0 where that is not known.
  void begin(std::string_view doing, uint64_t files, uint64_t bytes);
  // Whether the next call draws the status line: a path that costs
  // something to make need be made only then.
  bool drawsSoon() const { return show_ == Show::kStatusLine && Clock::now() >= nextDraw_; }
  // The path at hand.
  void at(std::string_view path) {
    if (show_ != Show::kStatusLine) return;
    path_.assign(path);
    tick();
  }
  // Files and bytes done.
  void done(uint64_t files, uint64_t bytes) {
    files_ += files;
    bytes_ += bytes;
    tick();
  }

 private:
  using Clock = std::chrono::steady_clock;
  void tick() {
    if (show_ == Show::kStatusLine && Clock::now() >= nextDraw_) draw();
  }
  void draw();

  TextOutput& out_;
  const Show show_;
  std::string doing_, path_;
  uint64_t files_ = 0, bytes_ = 0, totalFiles_ = 0, totalBytes_ = 0;
  Clock::time_point begun_, nextDraw_;
  StringOutput escaped_;
};

}  // namespace vaultcat
