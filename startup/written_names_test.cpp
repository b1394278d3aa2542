#include "startup/written_names.h"

#include <gtest/gtest.h>

#include <string>

namespace modMain {
namespace {

// Each name gives back the entry that wrote it last, also once the table has
// grown past the size it was made for; a new name gives nothing.
TEST(WrittenNamesTest, GivesTheLastEntryOfEachNameAcrossGrowth) {
  WrittenNames written(4);
  const int kNames = 1000;
  for (int i = 0; i < kNames; ++i) {
    EXPECT_EQ(written.Placed("/d/f" + std::to_string(i) + "-1.bin", i), std::nullopt) << i;
  }
  for (int i = 0; i < kNames; ++i) {
    EXPECT_EQ(written.Placed("/d/f" + std::to_string(i) + "-1.bin", kNames + i), i) << i;
  }
  EXPECT_EQ(written.Placed("/d/f7-1.bin", 5000), kNames + 7);
  EXPECT_EQ(written.Placed("/d/f7-2.bin", 5001), std::nullopt);
}

}  // namespace
}  // namespace modMain
