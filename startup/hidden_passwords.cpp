#include "startup/hidden_passwords.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "run/names.h"

namespace modMain {

namespace {

void MaskWord(std::string& word) {
  const modMain::UserInfo info = modMain::FindUserInfo(word);
  if (info.at == std::string::npos) return;
  const auto colon = word.find(':', info.start);
  if (colon == std::string::npos || colon > info.at) return;
  const size_t length = info.at - colon - 1;
  word.replace(colon + 1, length, std::min<size_t>(length, 3), '*');
}

}  // namespace

std::string WithPasswordsMasked(const std::string& argument) {
  std::string masked;
  std::string::size_type start = 0;
  for (;;) {
    const auto space = argument.find(' ', start);
    std::string word = argument.substr(start, space - start);
    MaskWord(word);
    masked += word;
    if (space == std::string::npos) return masked;
    masked += ' ';
    start = space + 1;
  }
}

void HidePasswordsInArguments(int argc, char** argv) {
  std::vector<std::string> masked;
  std::vector<size_t> lengths;
  bool changed = false;
  bool adjacent = true;
  for (int i = 1; i < argc; ++i) {
    lengths.push_back(std::strlen(argv[i]));
    masked.push_back(WithPasswordsMasked(argv[i]));
    changed = changed || masked.back() != argv[i];
    if (i > 1 && argv[i] != argv[i - 1] + lengths[i - 2] + 1) adjacent = false;
  }
  if (!changed) return;
  if (!adjacent) {
    for (int i = 1; i < argc; ++i) {
      const std::string& text = masked[i - 1];
      std::memcpy(argv[i], text.c_str(), text.size());
      std::memset(argv[i] + text.size(), 0, lengths[i - 1] - text.size() + 1);
    }
    return;
  }
  // Each masked argument is no longer than it was, so it never overwrites an
  // argument still to be moved (and the masked texts are copies anyway).
  char* const end = argv[argc - 1] + lengths.back() + 1;
  char* at = argv[1];
  for (int i = 1; i < argc; ++i) {
    const std::string& text = masked[i - 1];
    std::memcpy(at, text.c_str(), text.size() + 1);
    argv[i] = at;
    at += text.size() + 1;
  }
  std::memset(at, 0, static_cast<size_t>(end - at));
}

}  // namespace modMain
