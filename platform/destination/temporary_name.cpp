// What both systems share of temporary names: their shape.
#include "platform/destination/temporary_name.h"

namespace vaultcat::platform {

std::string temporaryName(std::string_view target) {
  uint64_t tag = uniqueTag() * 0xBF58476D1CE4E5B9u;
  std::string name = "." + std::string(target.substr(0, kLongestTargetInTemporaryName));
  if (!target.empty()) name += '.';
  name += kTemporaryWord;
  for (size_t i = 0; i < kTagLength; ++i, tag >>= 5) name.push_back(kTagLetters[tag & 31]);
  return name;
}

bool isTemporaryName(std::string_view name, std::string_view& target, bool anyCase) {
  const auto lower = [&](char c) {
    return anyCase && c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  };
  const size_t fixed = kTemporaryWord.size() + kTagLength;
  if (name.size() < 1 + fixed || name.front() != '.') return false;
  const std::string_view tail = name.substr(name.size() - fixed);
  for (size_t i = 0; i < tail.size(); ++i) {
    const char c = lower(tail[i]);
    if (i < kTemporaryWord.size() ? c != kTemporaryWord[i]
                                  : kTagLetters.find(c) == std::string_view::npos)
      return false;
  }
  // ".<word><tag>", or ".<target>.<word><tag>" for a target of one byte or more.
  target = name.substr(1, name.size() - 1 - fixed);
  if (target.empty()) return true;
  if (target.size() < 2 || target.back() != '.') return false;
  target.remove_suffix(1);
  return true;
}

}  // namespace vaultcat::platform
