// The dispatcher and the list command, run as a user would run them.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/cache_writer.h"

namespace vaultcat::e2e {
namespace {

using testsupport::CacheBuilder;
using testsupport::CacheImage;

const char kUsageFromCommands[] =
    "Usage:\n\n"
    "vaultcat.exe l gcf_file\n\tPrints directory listing of files in gcf_file.\n\n"
    "vaultcat.exe x gcf_file file dir\n\tExtracts file from gcf_file into dir.\n"
    "\tAll directorys must exist - they will not be created.\n\n"
    "vaultcat.exe a gcf_file item... dir\n\tExtracts each item, a folder and all it holds or a "
    "file, from gcf_file\n\tinto dir. Folders are created as needed; / is the whole cache.\n\n"
    "vaultcat.exe t gcf_file [folder]\n\tChecks that gcf_file holds every file under folder whole "
    "(by default\n\tthe whole cache) and names each one it does not. Writes nothing.\n\n"
    "vaultcat.exe m gcf_file mountpoint\n\tMounts gcf_file read-only at the folder mountpoint and "
    "serves it in the\n\tbackground. fusermount3 -u mountpoint unmounts it.\n\n"
    "Options, after the command word (-- ends them):\n"
    "\tl --long, -l      one line per item: size, what the cache lacks, path\n"
    "\tl --null, -0      that listing, names as stored, each line ending in NUL\n"
    "\ta --salvage, -s   extracts every file held whole, and names the others\n"
    "\ta --partial, -p   with -s, writes incomplete files in part, the rest a hole\n"
    "\ta t --verbose, -v a line for every file, on a terminal too\n"
    "\ta t --quiet, -q   only what went wrong, and the summary\n"
    "\tm --foreground, -f  serves in the foreground, until Ctrl-C\n\n";

// Where the description of the format is installed, as the usage text says.
std::string usage() {
  return std::string(
             "vaultcat - by the vaultcat developers\n"
             "Based on code and file formats from\n") +
         (runsNatively() ? "format.md, among the documents of vaultcat (man vaultcat, FILES)"
                         : "docs/format.md, beside vaultcat.exe") +
         "\n\n" + kUsageFromCommands;
}

CacheImage treeCache(uint32_t version, uint32_t cacheId) {
  CacheBuilder b(version);
  b.cacheId(cacheId).blockSize(512);
  b.addFile(b.addFolder(0, "cfg"), "default.cfg", "bind w +forward\n");
  b.addFile(0, "readme.txt", sampleBytes(700, 1));
  return b.build();
}

using CommandLineTest = ProgramTest;

// Options stand anywhere after the command word, and "--" ends them; one
// that is unknown, or not the command's, is refused before anything is
// opened. Without options, l and x count their arguments as ever.
TEST_F(CommandLineTest, PrintsTheUsageAndRefusesUnknownCommandsOptionsAndMissingArguments) {
  const std::string cache = writeCache(treeCache(6, 1), "a.gcf");
  const std::string noCache = "You must supply the location of the gcf file\n";
  const std::string tooFew =
      "You must supply the gcf filename, the file to extract and a directory to extract to.\n";
  struct Case {
    std::vector<std::string> args;
    std::string out;
    int status = 1;
  };
  const std::string version = "vaultcat " + std::string(VAULTCAT_VERSION) + "\n";
  const std::string opened = openedLines(cache, "Half-Life");
  const auto cannotOpen = [](const std::string& path) {
    return "Couldn't open file " + path + ": Failed to map GCF file to memory.\n";
  };
  const Case cases[] = {
      {{}, usage(), 0},
      {{"-h"}, usage(), 0},
      {{"--help", cache}, usage(), 0},
      {{"--version"}, version, 0},
      {{"-V"}, version, 0},
      {{"-v"}, "Unrecognised command: -v\n"},
      {{"--helpme"}, "Unrecognised command: --helpme\n"},
      {{"A", cache, "/"},
       "You must supply the gcf filename, a folder to extract and a directory to extract to.\n"},
      {{"q"}, "Unrecognised command: q\n"},
      {{"query", cache}, "Unrecognised command: query\n"},
      {{"-l", cache}, "Unrecognised command: -l\n"},
      {{"él", cache}, "Unrecognised command: él\n"},  // printed as typed, in UTF-8
      {{""}, "Unrecognised command: \n"},
      {{"l"}, noCache},
      {{"L"}, noCache},
      {{"list"}, noCache},
      {{"x"}, tooFew},
      {{"X", cache}, tooFew},
      {{"x", cache, "readme.txt"}, tooFew},
      {{"M", cache}, "You must supply the gcf filename and a folder to mount it at.\n"},
      {{"m", "-s", cache, "mnt"}, "The option -s does not apply to the command m\n"},
      {{"l", "--frob", cache}, "Unrecognised option: --frob\n"},
      {{"l", cache, "-s"}, "The option -s does not apply to the command l\n"},
      {{"X", cache, "-0l", "readme.txt", "out"}, "The option -0 does not apply to the command x\n"},
      {{"a", cache, "/", "out", "--long"}, "The option --long does not apply to the command a\n"},
      {{"t", "--salvage"}, "The option --salvage does not apply to the command t\n"},
      {{"a", "-p", cache, "/", "out"}, "The option --partial needs --salvage (-s) as well\n"},
      {{"x", cache, "-v", "readme.txt", "out"}, "The option -v does not apply to the command x\n"},
      {{"l", "--long"}, noCache},
      {{"x", cache, "--", "-s", root()}, opened + "Couldn't find -s in directory\n"},
      {{"l", "--", "-l"}, cannotOpen("-l")},
      {{"t", "-"}, cannotOpen("-")},
      {{"t", cache}, opened + "Checked 2 files, 716 bytes: all whole.\n", 0},
      {{"t", cache, "cfg", "extra"},
       "Unexpected argument: extra (t takes gcf_file and one folder)\n"},
      {{"l", cache, "-l"},
       opened + "         -  -  cfg/\n        16  -  cfg/default.cfg\n       700  -  readme.txt\n"
                "2 files, 1 folder: 716 bytes recorded, 716 in the cache\n",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
  }
  EXPECT_EQ(listFolder(""), std::vector<std::string>{"a.gcf"});
}

TEST_F(CommandLineTest, ReportsCachesThatCannotBeOpened) {
  CacheImage truncated = treeCache(6, 1);
  truncated.truncate(truncated.size() - 1);
  const std::string badVersion = writeCache(treeCache(3, 1), "v3.gcf");
  const std::string version7 = writeCache(treeCache(7, 1), "v7.gcf");
  const std::string corrupt = writeCache(truncated, "short.gcf");
  const std::string missing = at("missing.gcf");
  const std::string empty = at("empty.gcf");
  { std::ofstream touch(empty); }
  makeDir("folder.gcf");
  makeDir("out");

  const std::string mapFailed = "Failed to map GCF file to memory.";
  struct Case {
    std::vector<std::string> args;
    std::string path, error;
  };
  const Case cases[] = {
      {{"l", missing}, missing, mapFailed},
      {{"l", empty}, empty, mapFailed},
      {{"l", at("folder.gcf")}, at("folder.gcf"), mapFailed},
      {{"l", badVersion}, badVersion, "Invalid GCF version number."},
      {{"l", version7}, version7, "Invalid GCF version number."},
      {{"l", corrupt}, corrupt, "Corrupt file."},
      {{"x", missing, "readme.txt", at("out")}, missing, mapFailed},
      {{"x", corrupt, "readme.txt", at("out")}, corrupt, "Corrupt file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ProgramRun r = run(c.args);
    EXPECT_EQ(r.out, "Couldn't open file " + c.path + ": " + c.error + "\n");
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_TRUE(listFolder("out").empty());
}

// A cache stores its names in UTF-8: a name with letters beyond ASCII is
// listed as stored, found when typed, and names the file written. On
// Windows the command line must arrive in UTF-8 for this. A name written
// where names were in the Windows ANSI code page ("\xC4" for "Ä" in 1252)
// is not UTF-8: Windows reads it in that code page, elsewhere it stays its
// bytes.
TEST_F(CommandLineTest, ListsAndExtractsANameBeyondAscii) {
  const std::string bytes = sampleBytes(700, 3);
  const std::string ansi = runsNatively() ? "\xC4.txt" : "\xC3\x84.txt";
  CacheBuilder b;
  b.cacheId(1).blockSize(512);
  b.addFile(b.addFolder(0, "Bücher"), "ä.txt", bytes);
  b.addFile(0, "\xC4.txt", "ansi");
  const std::string cache = writeCache(b.build(), "c.gcf");
  ProgramRun r = run({"l", cache});
  EXPECT_EQ(r.out, openedLines(cache, "Half-Life") + "Directory listing:\n\nBücher\\\n  ä.txt\n" +
                       ansi + "\n");
  makeDir("out/Bücher");
  for (const std::string& item : {std::string("Bücher/ä.txt"), ansi}) {
    r = run({"x", cache, item, at("out")});
    EXPECT_EQ(r.status, 0) << describe(r);
  }
  EXPECT_EQ(listFolder("out/Bücher"), std::vector<std::string>{"ä.txt"});
  EXPECT_EQ(readFile(at("out/Bücher/ä.txt")), bytes);
  EXPECT_EQ(readFile(at("out/" + ansi)), "ansi");
  r = run({"a", cache, "/", at("tree")});
  EXPECT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(listFolder("tree"), (std::vector<std::string>{"Bücher", ansi}));
}

// Names reach a terminal with their control characters escaped, so that a
// cache cannot clear the screen or set the window's title; a pipe or a file
// gets every byte as stored from l and x, and escaped from a, where a line
// break in a name could pass for a line of its own, even "Success!".
TEST_F(CommandLineTest, NamesReachATerminalEscaped) {
  if (!runsNatively()) GTEST_SKIP() << "needs a native POSIX run (VAULTCAT_COMMAND is set)";
  const std::string name = "a\x1b]0;title\x07\tb\xc2\x9b\xff\xc3\xa9.txt";
  CacheBuilder b;
  b.cacheId(1);
  b.addFile(0, name, "x");
  const std::string cache = writeCache(b.build(), "c.gcf");
  const std::string listing = openedLines(cache, "Half-Life") + "Directory listing:\n\n";
  EXPECT_EQ(run({"l", cache}).out, listing + name + "\n");
  ProgramRun r = run({"l", cache}, {}, {.terminalOutput = true});
  EXPECT_EQ(r.out, listing + "a\\033]0;title\\007\\011b\\302\\233\\377\xc3\xa9.txt\n")
      << describe(r);
  // The listing for scripts too: as stored in a pipe, never raw on a
  // terminal.
  EXPECT_EQ(run({"l", "-0", cache}).out, "         1  -  " + name + '\0');
  r = run({"l", "-0", cache}, {}, {.terminalOutput = true});
  EXPECT_EQ(
      r.out,
      std::string("         1  -  a\\033]0;title\\007\\011b\\302\\233\\377\xc3\xa9.txt") + '\0')
      << describe(r);
  r = run({"x", cache, name + "/", at("")}, {}, {.terminalOutput = true});
  EXPECT_NE(r.out.find("Couldn't find a\\033]0;title\\007\\011b"), std::string::npos)
      << describe(r);
  CacheBuilder lines;
  lines.cacheId(1);
  lines.addFile(0, "x\nSuccess!", "x");
  r = run({"a", writeCache(lines.build(), "lines.gcf"), "/", at("out")});
  EXPECT_TRUE(
      r.out.ends_with("\nWriting x\\012Success! (1 byte)\nExtracted 1 file and 0 "
                      "folders (1 byte)\nSuccess!\n"))
      << describe(r);
}

}  // namespace
}  // namespace vaultcat::e2e
