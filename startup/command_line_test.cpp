#include "startup/command_line.h"

#include <gtest/gtest.h>

namespace modMain {
namespace {

using Words = std::vector<std::string>;

Words FromArgs(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"fetchwell"};
  argv.insert(argv.end(), args);
  return CommandWords(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, SplitsAtEverySingleSpace) {
  EXPECT_EQ(SplitWords(""), Words{});
  EXPECT_EQ(SplitWords("-e"), Words{"-e"});
  EXPECT_EQ(SplitWords("-e  -s"), (Words{"-e", "", "-s"}));
  EXPECT_EQ(SplitWords(" x "), (Words{"", "x", ""}));
  // Only spaces separate: commas, tabs and quotes are part of the word.
  EXPECT_EQ(SplitWords("-e,-s \"-e\"\t"), (Words{"-e,-s", "\"-e\"\t"}));
}

TEST(CommandLineTest, ArgumentsAreJoinedThenSplitAgain) {
  EXPECT_EQ(FromArgs({}), Words{});
  EXPECT_EQ(FromArgs({""}), Words{});
  EXPECT_EQ(FromArgs({"x", "-e", "y"}), (Words{"x", "-e", "y"}));
  // An argument that holds spaces gives several words.
  EXPECT_EQ(FromArgs({"-e -s", "z"}), (Words{"-e", "-s", "z"}));
  EXPECT_EQ(FromArgs({"", "-e"}), (Words{"", "-e"}));
}

TEST(CommandLineTest, WordsMatchInAnyLetterCase) {
  EXPECT_TRUE(IsRunWord("-e"));
  EXPECT_TRUE(IsRunWord("-E"));
  EXPECT_TRUE(IsShowWord("-S"));
  EXPECT_FALSE(IsRunWord("-e "));
  EXPECT_FALSE(IsRunWord("--e"));
  EXPECT_FALSE(IsShowWord("-e"));
  EXPECT_EQ(LowerCase("AbC-\xC3\x89"), "abc-\xC3\x89");
}

TEST(CommandLineTest, LastOfRunAndShowDecidesTheWindow) {
  EXPECT_TRUE(ShowsWindow({}));
  EXPECT_TRUE(ShowsWindow({"-S"}));
  EXPECT_TRUE(ShowsWindow({"x", "y"}));
  EXPECT_FALSE(ShowsWindow({"-e"}));
  EXPECT_FALSE(ShowsWindow({"x", "-E", "y"}));
  EXPECT_FALSE(ShowsWindow({"-s", "-e"}));
  EXPECT_TRUE(ShowsWindow({"-e", "", "-s"}));
  EXPECT_TRUE(ShowsWindow({"-e,-s"}));
}

Question Asked(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"fetchwell"};
  argv.insert(argv.end(), args);
  return AskedQuestion(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, FirstQuestionWordWins) {
  EXPECT_EQ(Asked({}), Question::kNone);
  EXPECT_EQ(Asked({"-h"}), Question::kHelp);
  EXPECT_EQ(Asked({"--version"}), Question::kVersion);
  EXPECT_EQ(Asked({"-e", "-V", "--help"}), Question::kVersion);
  EXPECT_EQ(Asked({"x", "--help", "-V", "-s"}), Question::kHelp);
  // The program's name is never a word, whatever it is.
  const char* const named[] = {"--help", "-e"};
  EXPECT_EQ(AskedQuestion(2, named), Question::kNone);
}

TEST(CommandLineTest, QuestionWordsAreWholeExactArguments) {
  for (const char* arg : {"-H", "--HELP", "-v", "--Version", "-help", "--help=1", "-hV", "-h ", "",
                          "-e -h", "--", "---help"}) {
    EXPECT_EQ(Asked({arg}), Question::kNone) << "[" << arg << "]";
  }
  // Such an argument still gives its words to the run: "-e --help" runs.
  EXPECT_FALSE(ShowsWindow(FromArgs({"-e --help"})));
}

}  // namespace
}  // namespace modMain
