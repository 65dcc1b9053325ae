// The columns text takes on a terminal, and cutting a path to fit them:
// what the status line is measured and cut by.
#include <string>

#include <gtest/gtest.h>

#include "front_end/utf8.h"

namespace vaultcat::unittest {
namespace {

TEST(Utf8, ColumnsAreCountedAsATerminalShowsThemAndCutsKeepWholeCharacters) {
  const std::string wide = "\u30EF";           // a katakana letter: two columns
  const std::string mark = "e\u0301";          // e and a combining accent: one
  const std::string joined = "a\u200Db";       // a zero-width joiner: none
  const std::string ideograph = "\U00020000";  // a wide character past the first plane
  struct Case {
    std::string text;
    uint64_t columns;
    uint64_t cutTo;
    std::string tail;  // what lastColumns(text, cutTo) leaves
  };
  const Case cases[] = {
      {"abc", 3, 2, "bc"},
      {"ab" + wide, 4, 3, "b" + wide},
      {"ab" + wide, 4, 1, ""},  // a wide character is never cut in two
      {wide + wide, 4, 3, wide},
      {"x" + mark, 2, 1, mark},
      {mark + mark, 2, 1, mark},  // the accent goes with its letter or not at all
      {"a" + mark, 2, 0, ""},
      {joined, 2, 1, "b"},
      {ideograph + "z", 3, 3, ideograph + "z"},
      {"\xC3", 1, 1, "\xC3"},  // a byte that begins no character takes one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(utf8::columnsOf(c.text), c.columns);
    EXPECT_EQ(utf8::lastColumns(c.text, c.cutTo), c.tail);
  }
}

}  // namespace
}  // namespace vaultcat::unittest
