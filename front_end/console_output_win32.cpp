// Standard output on Windows. Names in a cache, and so the program's text,
// are UTF-8, but the C runtime hands a console single bytes in the console's
// code page (437 or 850, say; under Wine, Latin-1), so "ä.txt" showed as
// "Ã¤.txt" whatever the manifest says. Text for a console therefore goes to
// it as UTF-16 through WriteConsoleW, lines ending in CR LF; text for a pipe
// or a file goes through the C runtime as bytes, whose text mode makes the
// line ends CR LF.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

#include "front_end/console_output.h"

namespace vaultcat {

namespace {

HANDLE consoleHandle() {
  static const HANDLE console = [] {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool isConsole =
        out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode);
    return isConsole ? out : nullptr;
  }();
  return console;
}

// The bytes of a UTF-8 sequence that the end of the buffer cut, kept for
// the next text so that the sequence reaches the console whole.
std::string& cutSequence() {
  static std::string bytes;
  return bytes;
}

// How much of `bytes` ends with a whole UTF-8 sequence (or a byte that
// starts none, which goes out as it is).
size_t wholeSequences(std::string_view bytes) {
  for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

// Writes whole UTF-8 sequences to the console as UTF-16, LF as CR LF, in
// slices of at most 32 KiB, each ending with a whole sequence.
bool writeConsole(HANDLE console, std::string_view utf8) {
  constexpr size_t kSlice = size_t{1} << 15;
  while (!utf8.empty()) {
    std::string_view slice = utf8.substr(0, kSlice);
    if (slice.size() < utf8.size()) slice = slice.substr(0, wholeSequences(slice));
    utf8.remove_prefix(slice.size());

    const auto length = static_cast<int>(slice.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, slice.data(), length, nullptr, 0);
    std::wstring text(static_cast<size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, slice.data(), length, text.data(), units);
    std::wstring lines;
    lines.reserve(text.size() + text.size() / 16);
    for (wchar_t c : text) {
      if (c == L'\n') lines.push_back(L'\r');
      lines.push_back(c);
    }
    for (size_t done = 0; done < lines.size();) {
      DWORD written = 0;
      if (!::WriteConsoleW(console, lines.data() + done, static_cast<DWORD>(lines.size() - done),
                           &written, nullptr) ||
          written == 0) {
        return false;
      }
      done += written;
    }
  }
  return true;
}

}  // namespace

void ConsoleOutput::deliver(std::string_view text) {
  HANDLE console = consoleHandle();
  if (console == nullptr) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) failed_ = true;
    return;
  }
  std::string& cut = cutSequence();
  cut.append(text);
  const size_t whole = wholeSequences(cut);
  if (!writeConsole(console, std::string_view(cut).substr(0, whole))) failed_ = true;
  cut.erase(0, whole);
}

bool ConsoleOutput::healthy() {
  flush();
  // A sequence still cut at the very end was never whole; it goes out as it is.
  if (HANDLE console = consoleHandle(); console != nullptr) {
    if (!writeConsole(console, cutSequence())) failed_ = true;
    cutSequence().clear();
  }
  if (std::fflush(stdout) != 0) failed_ = true;
  return !failed_;
}

}  // namespace vaultcat
