#include "startup/list_words.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/fixtures/temp_folder.h"

namespace modMain {
namespace {

ListWord Word(ListVerb verb, const char* name, std::vector<std::string> args) {
  return ListWord{verb, name, std::move(args)};
}

TEST(ListWordsTest, AddRefusesTheFirstWordThatIsNoUrl) {
  EXPECT_EQ(Refusal(Word(ListVerb::kAdd, "--add", {"http://h/a", "file:///x"})), std::nullopt);
  EXPECT_EQ(Refusal(Word(ListVerb::kAdd, "--add", {"http://h/a", "nope", "bad"})),
            "fetchwell: --add: not a URL the run can fetch: nope");
  EXPECT_EQ(Refusal(Word(ListVerb::kAdd, "--add", {})), "fetchwell: --add: needs at least one URL");
  // The word is named, but never its password, nor a byte that moves the cursor.
  const auto secret = Refusal(Word(ListVerb::kAdd, "--add", {"htp://u:secret@h/\x1b[2J"}));
  ASSERT_TRUE(secret);
  EXPECT_EQ(secret->find("secret"), std::string::npos) << *secret;
  EXPECT_EQ(secret->find('\x1b'), std::string::npos) << *secret;
  // A huge word is shown cut.
  const auto huge = Refusal(Word(ListVerb::kAdd, "--add", {std::string(3000, 'x')}));
  ASSERT_TRUE(huge);
  EXPECT_LT(huge->size(), 600u);
}

TEST(ListWordsTest, RemoveTakesNumbersOfEntries) {
  EXPECT_EQ(Refusal(Word(ListVerb::kRemove, "--remove", {"1", "0"})), std::nullopt);
  EXPECT_TRUE(Refusal(Word(ListVerb::kRemove, "--remove", {})));
  EXPECT_TRUE(Refusal(Word(ListVerb::kRemove, "--remove", {"1", "+2"})));
  EXPECT_TRUE(Refusal(Word(ListVerb::kRemove, "--remove", {"1.0"})));

  std::vector<int> positions;
  EXPECT_EQ(PositionsToRemove(Word(ListVerb::kRemove, "--remove", {"3", "1", "03"}), 3, positions),
            std::nullopt);
  EXPECT_EQ(positions, (std::vector<int>{2, 0, 2}));
  for (const char* number : {"0", "4", "000", "99999999999999999999999", "4294967297"}) {
    const auto refusal =
        PositionsToRemove(Word(ListVerb::kRemove, "--remove", {"1", number}), 3, positions);
    ASSERT_TRUE(refusal) << number;
    EXPECT_NE(refusal->find(number), std::string::npos) << *refusal;
    EXPECT_TRUE(positions.empty()) << number;
  }
  EXPECT_TRUE(PositionsToRemove(Word(ListVerb::kRemove, "--remove", {"1"}), 0, positions));
}

TEST(ListWordsTest, FolderMustBeAnExistingAbsoluteFolder) {
  const fwtest::TempFolder temp;
  const std::string spaced = temp / "my reports";
  ASSERT_EQ(mkdir(spaced.c_str(), 0700), 0);
  fwtest::WriteFile(temp / "file", "x");
  ASSERT_EQ(symlink(spaced.c_str(), (temp / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((temp / "fifo").c_str(), 0600), 0);
  const auto folder = [](const std::string& path) {
    return Refusal(Word(ListVerb::kFolder, "--folder", {path}));
  };
  EXPECT_EQ(folder(spaced), std::nullopt);
  EXPECT_EQ(folder(temp / "link"), std::nullopt);
  EXPECT_EQ(folder("/"), std::nullopt);
  for (const std::string& path :
       {temp / "file", temp / "fifo", temp / "missing", std::string("relative"), std::string(""),
        spaced + " ", spaced + "\t", temp.Path() + "/\nFolderPath=/"}) {
    EXPECT_TRUE(folder(path)) << path;
  }
  EXPECT_TRUE(Refusal(Word(ListVerb::kFolder, "--folder", {})));
  EXPECT_EQ(Refusal(Word(ListVerb::kList, "--list", {})), std::nullopt);
}

TEST(ListWordsTest, SetTakesKnownKeysWithValuesARunTakes) {
  const auto set = [](std::vector<std::string> args) {
    return Refusal(Word(ListVerb::kSet, "--set", std::move(args)));
  };
  EXPECT_EQ(set({"keepcopies=3", "DateFormat = %d %m ", "CAFile=", "Parallel=99"}), std::nullopt);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{}, "needs at least one KEY=VALUE"},
      {{"Retries=1", "KeepCopy=7"}, "no key KeepCopy in [Download]; did you mean KeepCopies?"},
      {{"Mirrors=3"}, "no key Mirrors in [Download]; see --help"},
      {{"folderpath=/srv"}, "the download folder is set with --folder"},
      {{"Retries"}, "an argument is not KEY=VALUE"},
      {{" =1"}, "an argument is not KEY=VALUE"},
      // A pasted header is never quoted back.
      {{"Authorization: Basic dXNlcjpwYXNz=="}, "no such key in [Download]; see --help"},
      {{"Authorization: Bearer s3cret"}, "an argument is not KEY=VALUE"},
      {{"KeepCopies=+1"}, "KeepCopies=+1 is not valid (a whole number from 0 to 1000000)"},
      {{"SkipUnchanged=yes"}, "SkipUnchanged=yes is not valid (0 or 1)"},
      {{"ReportFile=a\nKeepCopies=0"},
       "ReportFile: a value holding control characters is not kept"},
  };
  for (const auto& [args, why] : refused) EXPECT_EQ(set(args), "fetchwell: --set: " + why);
  EXPECT_EQ(ChangeOf(" keepcopies = 3 ").key, "KeepCopies");
  EXPECT_EQ(ChangeOf("DateFormat= %d %m ").value, "%d %m");
}

}  // namespace
}  // namespace modMain
