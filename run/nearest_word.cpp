#include "run/nearest_word.h"

#include <algorithm>

namespace modMain {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The edits that turn `a` into `b` (optimal string alignment: each byte
// edited once at most), or more than `most` when that is all that matters.
size_t Edits(std::string_view a, std::string_view b, size_t most) {
  if (std::max(a.size(), b.size()) - std::min(a.size(), b.size()) > most) return most + 1;
  // Three rows of the table: two back, one back, this one.
  std::vector<size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) last[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const bool same = Lower(a[i - 1]) == Lower(b[j - 1]);
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, last);
    std::swap(last, row);
  }
  return last[b.size()];
}

}  // namespace

std::optional<std::string> NearestWord(std::string_view word,
                                       const std::vector<std::string>& known) {
  std::optional<std::string> nearest;
  size_t fewest = 0;
  for (const std::string& candidate : known) {
    const size_t most = std::max<size_t>(1, std::max(word.size(), candidate.size()) / 3);
    const size_t edits = Edits(word, candidate, most);
    if (edits <= most && (!nearest || edits < fewest)) {
      nearest = candidate;
      fewest = edits;
    }
  }
  return nearest;
}

}  // namespace modMain
