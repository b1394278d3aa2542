#include "startup/command_line.h"

#include <string_view>

namespace modMain {

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  if (text.empty()) return words;
  std::string::size_type start = 0;
  for (;;) {
    const auto space = text.find(' ', start);
    if (space == std::string::npos) {
      words.push_back(text.substr(start));
      return words;
    }
    words.push_back(text.substr(start, space - start));
    start = space + 1;
  }
}

std::vector<std::string> CommandWords(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return SplitWords(text);
}

std::string LowerCase(const std::string& word) {
  std::string lower = word;
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool IsRunWord(const std::string& word) {
  return LowerCase(word) == "-e";
}

bool IsShowWord(const std::string& word) {
  return LowerCase(word) == "-s";
}

bool ShowsWindow(const std::vector<std::string>& words) {
  bool show = true;
  for (const auto& word : words) {
    if (IsRunWord(word)) {
      show = false;
    } else if (IsShowWord(word)) {
      show = true;
    }
  }
  return show;
}

Question AskedQuestion(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return Question::kHelp;
    if (arg == "-V" || arg == "--version") return Question::kVersion;
  }
  return Question::kNone;
}

}  // namespace modMain
