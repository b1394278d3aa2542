#include "startup/screen_text.h"

#include <gtest/gtest.h>

namespace modMain {
namespace {

// Columns as a terminal shows them, whatever the program's locale: wide East
// Asian characters take two, combining marks none, a stray byte one.
TEST(ScreenTextTest, CountsAndCutsByScreenColumns) {
  struct Case {
    std::string text;
    size_t columns;
  };
  for (const Case& c : {Case{"plain", 5},
                        {"\xC3\xA9t\xC3\xA9", 3},         // été
                        {"\xE6\x97\xA5\xE5\xA0\xB1", 4},  // 日報
                        {"e\xCC\x81", 1},                 // e + combining acute
                        {"a\xFF"
                         "b",
                         3},              // a stray byte
                        {"\xE6\x97", 2},  // a cut character
                        {"", 0}}) {
    EXPECT_EQ(ScreenColumns(c.text), c.columns) << c.text;
  }
  const std::string wide = "\xE6\x97\xA5\xE5\xA0\xB1x";  // 日報x
  EXPECT_EQ(CutToColumns(wide, 5), wide);
  EXPECT_EQ(CutToColumns(wide, 4), "\xE6\x97\xA5\xE5\xA0\xB1");
  EXPECT_EQ(CutToColumns(wide, 3), "\xE6\x97\xA5") << "a wide character is never halved";
  EXPECT_EQ(CutToColumns("e\xCC\x81x", 1), "e\xCC\x81") << "the mark stays with its letter";
  EXPECT_EQ(CutToColumns(wide, 0), "");
}

}  // namespace
}  // namespace modMain
