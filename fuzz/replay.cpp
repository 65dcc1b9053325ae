// fuzz_replay: runs saved inputs through both fuzzed paths, outside
// libFuzzer, so every seed and every past finding is a plain CTest test.
//
//   fuzz_replay [--sound] INPUT...
//
// A fault shows as a crash or a sanitizer report. With --sound the inputs
// are caches our writer made whole: each must open, list without damage,
// find every item by its own path and extract every file completely.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_paths.h"

namespace {

bool readFile(const char* path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool checkSound(const char* path, const vaultcat::fuzz::PathReport& list,
                const vaultcat::fuzz::PathReport& extract) {
  std::string problem;
  if (!list.opened || !extract.opened) {
    problem = "does not open";
  } else if (!list.listingDamage.empty()) {
    problem = "lists with damage: " + list.listingDamage;
  } else if (extract.items == 0) {
    problem = "has no items";
  } else if (extract.pathsNotFound != 0 || extract.lookupDamage != 0) {
    problem = std::to_string(extract.pathsNotFound) + " items not found by path, " +
              std::to_string(extract.lookupDamage) + " lookups damaged";
  } else if (extract.extractionFailures != 0 || extract.extractions == 0) {
    problem = std::to_string(extract.extractionFailures) + " of " +
              std::to_string(extract.extractionFailures + extract.extractions) +
              " extractions failed";
  }
  if (problem.empty()) return true;
  std::fprintf(stderr, "%s: %s\n", path, problem.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool sound = false;
  int failures = 0;
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--sound") {
      sound = true;
      continue;
    }
    std::vector<uint8_t> bytes;
    if (!readFile(argv[i], bytes)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 2;
    }
    ++inputs;
    auto list = vaultcat::fuzz::runListPath(bytes);
    auto extract = vaultcat::fuzz::runExtractPath(bytes);
    if (sound && !checkSound(argv[i], list, extract)) ++failures;
  }
  if (inputs == 0) {
    std::fprintf(stderr, "usage: fuzz_replay [--sound] INPUT...\n");
    return 2;
  }
  return failures == 0 ? 0 : 1;
}
