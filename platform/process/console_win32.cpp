#include "platform/process/console_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "platform/process/wide_text_win32.h"

namespace vaultcat::platform {

namespace {

HANDLE console() {
  static const HANDLE handle = [] {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool isConsole =
        out != nullptr && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode);
    return isConsole ? out : nullptr;
  }();
  return handle;
}

// How much of `bytes` ends with a whole UTF-8 sequence (a byte that starts
// none counts as whole, and shows as a replacement character).
size_t wholeSequences(std::string_view bytes) {
  for (size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

// Whole sequences to the console, in slices of at most 32 KiB.
bool writeWhole(std::string_view utf8) {
  constexpr size_t kSlice = size_t{1} << 15;
  while (!utf8.empty()) {
    std::string_view slice = utf8.substr(0, kSlice);
    if (slice.size() < utf8.size()) slice = slice.substr(0, wholeSequences(slice));
    utf8.remove_prefix(slice.size());

    const std::wstring text = toWide(slice, CP_UTF8).value_or(std::wstring());
    std::wstring lines;
    lines.reserve(text.size() + text.size() / 16);
    for (wchar_t c : text) {
      if (c == L'\n') lines.push_back(L'\r');
      lines.push_back(c);
    }
    for (size_t done = 0; done < lines.size();) {
      DWORD written = 0;
      if (!::WriteConsoleW(console(), lines.data() + done, static_cast<DWORD>(lines.size() - done),
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

bool standardOutputIsConsole() { return console() != nullptr; }

bool writeConsole(std::string_view text) {
  static std::string cut;
  cut.append(text);
  const size_t whole = wholeSequences(cut);
  const bool written = writeWhole(std::string_view(cut).substr(0, whole));
  cut.erase(0, whole);
  return written;
}

}  // namespace vaultcat::platform
