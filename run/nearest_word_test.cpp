#include "run/nearest_word.h"

#include <gtest/gtest.h>

namespace modMain {
namespace {

TEST(NearestWordTest, GivesALikelyTypoItsWordAndAFarWordNothing) {
  const std::vector<std::string> words = {"--list", "--add",      "--dry-run",
                                          "--set",  "KeepCopies", "SkipUnchanged"};
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"--dryrun", "--dry-run"},
      {"--DRY-RUN", "--dry-run"},
      {"--lsit", "--list"},
      {"--st", "--set"},
      {"KeepCopy", "KeepCopies"},
      {"keepcopies", "KeepCopies"},
      {"SkipUnchange", "SkipUnchanged"},
      {"--x", std::nullopt},
      {"--e", std::nullopt},
      {"Mirrors", std::nullopt},
      {"", std::nullopt},
      {std::string(100000, 'x'), std::nullopt},
  };
  for (const auto& [word, nearest] : cases) {
    EXPECT_EQ(NearestWord(word, words), nearest) << word.substr(0, 20);
  }
  EXPECT_EQ(NearestWord("--ad", {"--add", "--and"}), "--add") << "the first of two as near";
}

}  // namespace
}  // namespace modMain
