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

CommandLine Read(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"fetchwell"};
  argv.insert(argv.end(), args);
  return ReadCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLineTest, ListWordsTakeTheWordsUpToTheNextOption) {
  const CommandLine line = Read({"--remove", "2 x", "-e --add http://a/x", "", " http://b/y z ",
                                 "--set", "DateFormat=%d %m", "-s", "x"});
  ASSERT_EQ(line.listWords.size(), 3u);
  EXPECT_EQ(line.listWords[0].verb, ListVerb::kRemove);
  EXPECT_EQ(line.listWords[0].args, (Words{"2", "x"}));
  // --add and --set: the words of their own argument, then whole arguments,
  // a space inside a URL encoded.
  EXPECT_EQ(line.listWords[1].verb, ListVerb::kAdd);
  EXPECT_EQ(line.listWords[1].args, (Words{"http://a/x", "http://b/y%20z"}));
  EXPECT_EQ(line.listWords[2].verb, ListVerb::kSet);
  EXPECT_EQ(line.listWords[2].args, Words{"DateFormat=%d %m"});
  EXPECT_EQ(line.runs, 1);
  EXPECT_FALSE(line.show);
  EXPECT_TRUE(line.unknown.empty());
  EXPECT_EQ(Read({"--add http://a/x -e http://b"}).listWords.at(0).args, Words{"http://a/x"});
  // A list word with nothing after it gets no arguments; the checks refuse it.
  EXPECT_TRUE(Read({"--add", "-e"}).listWords.at(0).args.empty());
}

TEST(CommandLineTest, FolderTakesItsPathWhole) {
  // The next argument entire, spaces and an "-e" inside it included.
  CommandLine line = Read({"--folder", "/srv/my reports -e", "-s"});
  ASSERT_EQ(line.listWords.size(), 1u);
  EXPECT_EQ(line.listWords[0].args, Words{"/srv/my reports -e"});
  EXPECT_EQ(line.runs, 0);
  // Or the rest of its own argument, when one argument holds the command.
  line = Read({"-e --folder /srv/my  reports", "-l"});
  ASSERT_EQ(line.listWords.size(), 2u);
  EXPECT_EQ(line.listWords[0].args, Words{"/srv/my  reports"});
  EXPECT_EQ(line.listWords[1].verb, ListVerb::kList);
  EXPECT_EQ(line.runs, 1);
  EXPECT_TRUE(Read({"--folder"}).listWords.at(0).args.empty());
  EXPECT_EQ(Read({"--folder", ""}).listWords.at(0).args, Words{""});
}

TEST(CommandLineTest, ListWordsKeepTheWindowShut) {
  for (const auto& line :
       {Read({"-l"}), Read({"--list", "-s"}), Read({"-s", "--dry-run"}), Read({"-n", "-e"})}) {
    EXPECT_FALSE(line.show);
    EXPECT_TRUE(line.DryRun() == (line.listWords[0].verb == ListVerb::kDryRun));
  }
  EXPECT_TRUE(Read({"-e", "-n"}).DryRun());
  // Without list words, -e and -s decide as before.
  EXPECT_TRUE(Read({"-e", "-S"}).show);
  EXPECT_FALSE(Read({"-s", "-E", "-E"}).show);
  EXPECT_EQ(Read({"-s", "-E", "-E"}).runs, 2);
}

TEST(CommandLineTest, UnknownOptionsAreCollectedAndOtherWordsIgnored) {
  // The list words are compared exactly; question words inside an argument
  // are known words that ask nothing.
  CommandLine line = Read({"x", "-L", "-", "-e --help", "-N", ""});
  EXPECT_EQ(line.unknown, (Words{"-L", "-", "-N"}));
  EXPECT_FALSE(line.Ends());
  EXPECT_TRUE(line.listWords.empty());
  EXPECT_EQ(line.runs, 1);
  line = Read({"--x", "-L", "--LIST", "--"});
  EXPECT_EQ(line.unknown, (Words{"--x", "-L", "--LIST", "--"}));
  EXPECT_TRUE(line.Ends());

  const std::vector<std::pair<std::string, std::string>> lines = {
      {"-L", "fetchwell: unknown option -L ignored; see --help"},
      {"--x", "fetchwell: unknown option --x, nothing done; see --help"},
      {"--dryrun", "fetchwell: unknown option --dryrun, nothing done; did you mean --dry-run?"},
      {"--LIST", "fetchwell: unknown option --LIST, nothing done; did you mean --list?"},
      {"--help=1", "fetchwell: unknown option --help=\u2026, nothing done; did you mean --help?"},
      {"-p=x", "fetchwell: unknown option -p=\u2026 ignored; see --help"},
      {"--x=", "fetchwell: unknown option --x=, nothing done; see --help"},
  };
  for (const auto& [word, said] : lines) EXPECT_EQ(UnknownOptionLine(word), said);
  const std::string shown = UnknownOptionLine("--add=http://u:secret@h/\x1b[2J");
  EXPECT_EQ(shown.find("secret"), std::string::npos) << shown;
  EXPECT_NE(shown.find("did you mean --add?"), std::string::npos) << shown;
  EXPECT_EQ(UnknownOptionLine("-\x1b").find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace modMain
