// The command line's words and what they ask for.
//
// The argument text is the process arguments after the program's name, joined
// with single spaces; it is split again at every single space, so an argument
// that holds spaces gives several words and two adjacent spaces give an empty
// word. "-e" (fetch the list now) and "-s" (show the window) match in any
// letter case; every other word is compared exactly.
//
// The question words "-h", "--help", "-V" and "--version" are read apart from
// the others, as whole process arguments compared exactly (as Linux tools
// compare options): the first of them answers and the program ends before
// anything is loaded, whatever else the command line holds.
//
// The list words manage the list and the folder without the window:
//   --list, -l       report the data files, the folder, the settings in effect
//                    and the numbered entries
//   --add URL...     append URLs to the list
//   --remove N...    remove the entries numbered N (as --list numbers them)
//   --dry-run, -n    report what -e would fetch, fetching nothing
//   --folder PATH    set the download folder
// --add and --remove take the words that follow them, up to the next word
// that begins with "-" (empty words are skipped). --folder takes its PATH
// whole, spaces included: the rest of its own process argument after
// "--folder " when the argument goes on, otherwise the next process argument
// entire (so `--folder "/srv/my reports"` works); that argument's words are
// not read as words of their own.
//
// How a command line with list words runs: the changes (--add, --remove,
// --folder) are made in the order given and saved together once every word has
// been checked (a refusal saves nothing); then --list and --dry-run report, in
// the order given, the state as saved; then, unless a --dry-run was given,
// each "-e" runs the download run. The window is never shown then, "-s"
// notwithstanding.
//
// Any other word that begins with "-" is an unknown option: it is said on
// standard error and otherwise ignored, like every word that does not begin
// with "-".
// Nothing here raises; only AnswerQuestion prints.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace modMain {

// The words of the argument text `text`: split at every " ". The empty text
// gives no words; "a  b" gives "a", "" and "b".
std::vector<std::string> SplitWords(const std::string& text);

// The words of a process's arguments (argv[1] to argv[argc - 1]), joined with
// single spaces and split again with SplitWords.
std::vector<std::string> CommandWords(int argc, const char* const* argv);

// `word` with its ASCII letters in lower case; other bytes unchanged.
std::string LowerCase(const std::string& word);

// True for "-e" in any letter case: run the download run.
bool IsRunWord(const std::string& word);

// True for "-s" in any letter case: show the window afterwards.
bool IsShowWord(const std::string& word);

// Whether the window is shown once the words have been walked: true unless
// the last of the words "-e" and "-s" is "-e" (so also true for no words).
bool ShowsWindow(const std::vector<std::string>& words);

// The words that manage the list and the folder.
enum class ListVerb { kList, kAdd, kRemove, kFolder, kDryRun };

// One list word as given, with the words it took.
struct ListWord {
  ListVerb verb = ListVerb::kList;
  std::string name;               // as written: "--list", "-l", "--add", ...
  std::vector<std::string> args;  // --add: URLs; --remove: numbers; --folder: its path
};

// What a whole command line asks for.
struct CommandLine {
  std::vector<ListWord> listWords;   // in the order given
  std::vector<std::string> unknown;  // unknown options, in the order given
  int runs = 0;                      // how many "-e" words
  bool show = true;     // false when there are list words, or the last of "-e"/"-s" is "-e"
  bool DryRun() const;  // whether a --dry-run (or -n) was given
};

// Reads argv[1] to argv[argc - 1] as the header says.
CommandLine ReadCommandLine(int argc, const char* const* argv);

// "fetchwell: unknown option <word> ignored; see --help", with any password in
// the word (a mistyped "--add=URL") masked and control bytes escaped.
std::string UnknownOptionLine(const std::string& word);

// What a question word asks for.
enum class Question { kNone, kHelp, kVersion };

// The question asked by the first of argv[1] to argv[argc - 1] that is exactly
// "-h" or "--help" (kHelp) or "-V" or "--version" (kVersion); kNone when no
// argument is one of them.
Question AskedQuestion(int argc, const char* const* argv);

// When the arguments ask a question, prints its answer (startup/usage.h) on
// standard output and returns the exit status: 0, or 2 when the answer could
// not be written (reported on standard error). Nothing otherwise. Defined in
// startup/usage.cpp.
std::optional<int> AnswerQuestion(int argc, const char* const* argv);

}  // namespace modMain
