#include "startup/command_line.h"

#include <algorithm>
#include <string_view>

#include "run/nearest_word.h"
#include "startup/run_report.h"

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

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
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

namespace {

// One word of the command line, and where it lies in its process argument.
struct Token {
  std::string text;
  int arg = 0;                     // the index in argv of its argument
  std::string::size_type end = 0;  // where it ends in that argument
};

std::vector<Token> Tokens(int argc, const char* const* argv) {
  std::vector<Token> tokens;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string::size_type start = 0;
    for (;;) {
      const auto space = arg.find(' ', start);
      const auto end = space == std::string::npos ? arg.size() : space;
      tokens.push_back({arg.substr(start, end - start), i, end});
      if (space == std::string::npos) break;
      start = space + 1;
    }
  }
  return tokens;
}

std::optional<ListVerb> VerbOf(const std::string& word) {
  if (word == "--list" || word == "-l") return ListVerb::kList;
  if (word == "--add") return ListVerb::kAdd;
  if (word == "--remove") return ListVerb::kRemove;
  if (word == "--folder") return ListVerb::kFolder;
  if (word == "--dry-run" || word == "-n") return ListVerb::kDryRun;
  if (word == "--set") return ListVerb::kSet;
  return std::nullopt;
}

// The words beginning with "--" that the program knows.
const std::vector<std::string> kLongWords = {"--list", "--add",     "--remove", "--folder",
                                             "--set",  "--dry-run", "--help",   "--version"};

bool IsOption(const std::string& word) {
  return word.rfind('-', 0) == 0;
}

bool IsLongOption(const std::string& word) {
  return word.rfind("--", 0) == 0;
}

// `url` with each space written %20, as a URL carries it.
std::string SpacesEncoded(const std::string& url) {
  std::string encoded;
  for (char c : url) encoded += c == ' ' ? std::string("%20") : std::string(1, c);
  return encoded;
}

// The arguments of the --add or --set `word` at tokens[t] (header): the words
// after it in its own argument, then, when that is used up, each following
// argument whole. Leaves `t` at the last token taken.
void TakeArguments(ListWord& word, const std::vector<Token>& tokens, size_t& t, int argc,
                   const char* const* argv) {
  const int own = tokens[t].arg;
  while (t + 1 < tokens.size() && tokens[t + 1].arg == own && !IsOption(tokens[t + 1].text)) {
    ++t;
    if (!tokens[t].text.empty()) word.args.push_back(tokens[t].text);
  }
  if (t + 1 < tokens.size() && tokens[t + 1].arg == own) return;  // an option ends it
  for (int next = own + 1; next < argc; ++next) {
    const std::string whole = Trimmed(argv[next]);
    if (IsOption(whole)) return;
    if (!whole.empty()) {
      word.args.push_back(word.verb == ListVerb::kAdd ? SpacesEncoded(whole) : whole);
    }
    while (t + 1 < tokens.size() && tokens[t + 1].arg == next) ++t;
  }
}

bool IsQuestionWord(const std::string& word) {
  return word == "-h" || word == "--help" || word == "-V" || word == "--version";
}

}  // namespace

bool CommandLine::DryRun() const {
  for (const auto& word : listWords) {
    if (word.verb == ListVerb::kDryRun) return true;
  }
  return false;
}

bool CommandLine::Ends() const {
  return std::any_of(unknown.begin(), unknown.end(), IsLongOption);
}

CommandLine ReadCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  const std::vector<Token> tokens = Tokens(argc, argv);
  for (size_t t = 0; t < tokens.size(); ++t) {
    const Token& token = tokens[t];
    const std::string& word = token.text;
    if (IsRunWord(word)) {
      ++line.runs;
      line.show = false;
    } else if (IsShowWord(word)) {
      line.show = true;
    } else if (const auto verb = VerbOf(word)) {
      ListWord listWord{*verb, word, {}};
      if (*verb == ListVerb::kAdd || *verb == ListVerb::kSet) {
        TakeArguments(listWord, tokens, t, argc, argv);
      } else if (*verb == ListVerb::kRemove) {
        while (t + 1 < tokens.size() && !IsOption(tokens[t + 1].text)) {
          ++t;
          if (!tokens[t].text.empty()) listWord.args.push_back(tokens[t].text);
        }
      } else if (*verb == ListVerb::kFolder) {
        // The path is taken whole, so that one holding spaces survives.
        const std::string arg = argv[token.arg];
        int taken = token.arg;
        if (token.end < arg.size()) {
          listWord.args.push_back(arg.substr(token.end + 1));
        } else if (token.arg + 1 < argc) {
          taken = token.arg + 1;
          listWord.args.push_back(argv[taken]);
        }
        while (t + 1 < tokens.size() && tokens[t + 1].arg <= taken) ++t;
      }
      line.listWords.push_back(std::move(listWord));
    } else if (!IsQuestionWord(word) && IsOption(word)) {
      line.unknown.push_back(word);
    }
  }
  if (!line.listWords.empty()) line.show = false;
  return line;
}

std::string UnknownOptionLine(const std::string& word) {
  // What follows an "=" is never shown: a word such as --password=... or
  // --user=name:password from another program's habits holds a secret.
  const size_t equals = word.find('=');
  const std::string shown = equals == std::string::npos || equals + 1 == word.size()
                                ? word
                                : word.substr(0, equals + 1) + "\xE2\x80\xA6";  // "…"
  const std::string line =
      "fetchwell: unknown option " + EscapeControls(ShownUrl(HidePassword(shown)));
  if (!IsLongOption(word)) return line + " ignored; see --help";
  const auto nearest = NearestWord(word.substr(0, word.find('=')), kLongWords);
  return line + ", nothing done; " + (nearest ? "did you mean " + *nearest + "?" : "see --help");
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
