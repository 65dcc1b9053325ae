#include "front_end/progress.h"

#include <algorithm>
#include <cstdio>

#include "front_end/reports.h"
#include "front_end/utf8.h"
#include "platform/process/process.h"

namespace vaultcat {

namespace {

// Five times a second: often enough to show it moving, seldom enough to
// cost nothing.
constexpr auto kBetweenDraws = std::chrono::milliseconds(200);
// Where the terminal does not say how wide it is (a pseudo-terminal no
// one sized), the width of most.
constexpr uint64_t kUsualColumns = 80;

// "512 B", "1.5 KiB", "3.5 GiB".
std::string amount(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  size_t unit = 0;
  while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

}  // namespace

Progress::Show Progress::chosen(const Options& options) {
  if (options.quiet) return Show::kNothing;
  if (options.verbose || !platform::standardOutputIsTerminal()) return Show::kFileLines;
  return Show::kStatusLine;
}

Progress::Progress(TextOutput& out, Show show) : out_(out), show_(show) {
  // The path as every name is printed: escaped, so that its bytes cannot
  // act on the terminal.
  escaped_.escapeNames();
}

void Progress::begin(std::string_view doing, uint64_t files, uint64_t bytes) {
  doing_ = doing;
  files_ = bytes_ = 0;
  totalFiles_ = files;
  totalBytes_ = bytes;
  path_.clear();
  begun_ = Clock::now();
  // A run that ends at once shows no status line at all.
  nextDraw_ = begun_ + kBetweenDraws;
}

// "Writing 12 of 400 files, 1.2 MiB of 3.5 GiB, 85.0 MiB/s: data/maps/a.bsp",
// or, with no totals, "Checking 1234 files, 5.6 GiB: data/maps/a.bsp", cut
// to the terminal's width from the path's start.
void Progress::draw() {
  const Clock::time_point now = Clock::now();
  nextDraw_ = now + kBetweenDraws;
  std::string line = doing_ + " " + std::to_string(files_);
  if (totalFiles_ > 0) line += " of " + std::to_string(totalFiles_);
  line += plural(totalFiles_ > 0 ? totalFiles_ : files_, " file") + ", ";
  line += amount(static_cast<double>(bytes_));
  if (totalFiles_ > 0) {
    const double seconds = std::chrono::duration<double>(now - begun_).count();
    line += " of " + amount(static_cast<double>(totalBytes_)) + ", " +
            amount(static_cast<double>(bytes_) / std::max(seconds, 0.001)) + "/s";
  }
  // One column short of the width: a line that fills it wraps on some.
  const uint64_t columns = platform::terminalColumns();
  const uint64_t room = std::clamp<uint64_t>(columns == 0 ? kUsualColumns : columns, 20, 1000) - 1;
  if (line.size() + 5 >= room) {
    line.resize(std::min<size_t>(line.size(), room));
  } else if (!path_.empty()) {
    line += ": ";
    escaped_.clear();
    escaped_.putName(path_);
    const std::string_view path = escaped_.text();
    if (line.size() + utf8::columnsOf(path) <= room) {
      line += path;
    } else {
      line += "...";
      line += utf8::lastColumns(path, room - line.size());
    }
  }
  out_.showStatus(line, utf8::columnsOf(line));
}

}  // namespace vaultcat
