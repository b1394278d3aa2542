#include "startup/screen_text.h"

#include <locale.h>

#include <cwchar>

namespace modMain {
namespace {

// The width rules of a UTF-8 locale, for this thread only while measuring.
locale_t Utf8Locale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  return locale;
}

// Measures the character at the start of `text`: its length in bytes and its
// width in columns.
struct Character {
  size_t bytes;
  size_t columns;
};

Character Next(std::string_view text) {
  std::mbstate_t state{};
  wchar_t wc = 0;
  const size_t n = std::mbrtowc(&wc, text.data(), text.size(), &state);
  if (n == 0 || n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) return {1, 1};
  const int width = wcwidth(wc);
  return {n, width < 0 ? 1 : static_cast<size_t>(width)};
}

// Walks `text` in the UTF-8 locale, stopping before the first character that
// would take the total past `limit`; returns the bytes walked and their columns.
Character Walk(std::string_view text, size_t limit) {
  const locale_t utf8 = Utf8Locale();
  const locale_t previous = utf8 ? uselocale(utf8) : nullptr;
  Character walked{0, 0};
  while (walked.bytes < text.size()) {
    const Character c = Next(text.substr(walked.bytes));
    if (walked.columns + c.columns > limit) break;
    walked.bytes += c.bytes;
    walked.columns += c.columns;
  }
  if (previous) uselocale(previous);
  return walked;
}

}  // namespace

size_t ScreenColumns(std::string_view text) {
  return Walk(text, static_cast<size_t>(-1)).columns;
}

std::string CutToColumns(std::string_view text, size_t columns) {
  return std::string(text.substr(0, Walk(text, columns).bytes));
}

}  // namespace modMain
