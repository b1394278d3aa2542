// The command line's words and what they ask for.
//
// The argument text is the process arguments after the program's name, joined
// with single spaces; it is split again at every single space, so an argument
// that holds spaces gives several words and two adjacent spaces give an empty
// word. Words are compared after ASCII lower-casing: "-e" runs the download
// run where it stands, "-s" asks for the window; every other word is ignored.
//
// The question words "-h", "--help", "-V" and "--version" are read apart from
// the others, as whole process arguments compared exactly (as Linux tools
// compare options): the first of them answers and the program ends before
// anything is loaded, whatever else the command line holds.
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
