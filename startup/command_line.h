// The command line's words and what they ask for.
//
// The arguments after the program's name are joined with single spaces and
// split again at every space (so "a  b" gives an empty word between). "-e"
// (fetch the list now) and "-s" (show the window) match in any letter case;
// other words exactly. "-h", "--help", "-V" and "--version" are whole
// arguments compared exactly: the first of them answers before anything is
// loaded.
//
// List words manage the list, the folder and the settings without the window:
// --list/-l, --add URL..., --remove N..., --set KEY=VALUE..., --dry-run/-n,
// --folder PATH. --remove takes the words up to the next one beginning with
// "-". --add and --set take the words after them in their own argument up to
// one beginning with "-", then each following argument whole up to one
// beginning with "-": one URL (blanks around it dropped, a space inside it
// written %20) or one KEY=VALUE. --folder takes its PATH whole (the rest of
// its argument, or the next argument entire). The changes are checked, made
// in order and saved together (a refusal saves nothing); then --list and
// --dry-run report, in order; then each "-e" runs, unless a --dry-run was
// given. The window is never shown then.
//
// Any other word beginning with "-" is an unknown option. One beginning with
// "--" ends the program (status 2) before anything is loaded; one beginning
// with a single "-" is said on standard error and ignored. Nothing here
// raises; only AnswerQuestion prints.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace modMain {

// The words of `text`, split at every " "; the empty text gives none.
std::vector<std::string> SplitWords(const std::string& text);
// The words of argv[1] to argv[argc - 1], joined with spaces and split again.
std::vector<std::string> CommandWords(int argc, const char* const* argv);
// `word` with its ASCII letters in lower case.
std::string LowerCase(const std::string& word);
// `text` without the spaces and tabs around it.
std::string Trimmed(const std::string& text);
bool IsRunWord(const std::string& word);   // "-e" in any case
bool IsShowWord(const std::string& word);  // "-s" in any case
// True unless the last of the words "-e" and "-s" is "-e".
bool ShowsWindow(const std::vector<std::string>& words);

// The words that manage the list and the folder.
enum class ListVerb { kList, kAdd, kRemove, kFolder, kDryRun, kSet };

// One list word as given, with the words it took.
struct ListWord {
  ListVerb verb = ListVerb::kList;
  std::string name;               // as written: "--list", "-l", "--add", ...
  std::vector<std::string> args;  // --add: URLs; --remove: numbers; --folder: its path;
                                  // --set: KEY=VALUE texts
};

// What a whole command line asks for.
struct CommandLine {
  std::vector<ListWord> listWords;   // in the order given
  std::vector<std::string> unknown;  // unknown options, in the order given
  int runs = 0;                      // how many "-e" words
  bool show = true;     // false when there are list words, or the last of "-e"/"-s" is "-e"
  bool DryRun() const;  // whether a --dry-run (or -n) was given
  bool Ends() const;    // whether an unknown option begins with "--"
};

// Reads argv[1] to argv[argc - 1] as the header says.
CommandLine ReadCommandLine(int argc, const char* const* argv);

// The line that says the unknown option `word`: for one beginning with "--"
// "fetchwell: unknown option <word>, nothing done; did you mean <known>?"
// (the long word nearest the part of `word` before any "=", when one is
// near; otherwise "; see --help"), for others
// "fetchwell: unknown option <word> ignored; see --help". What follows an "="
// in the word is shown as "…" (--password=…), any password in the rest masked
// and control bytes escaped.
std::string UnknownOptionLine(const std::string& word);

enum class Question { kNone, kHelp, kVersion };
// The question asked by the first argument that is one, if any.
Question AskedQuestion(int argc, const char* const* argv);
// When the arguments ask a question, prints its answer on standard output and
// returns 0 (2 when it cannot be written). Defined in startup/usage.cpp.
std::optional<int> AnswerQuestion(int argc, const char* const* argv);

}  // namespace modMain
