// Widths of text on a terminal's screen, in columns.
//
// Text is UTF-8: each character takes the columns wcwidth gives it in a UTF-8
// locale (two for most East Asian characters, none for combining marks),
// whatever the program's own locale is. A byte that does not begin a valid
// character counts as one column on its own, as terminals show it. Control
// characters are expected to be escaped before they get here; each counts as
// one column. Nothing here raises.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace modMain {

// The columns `text` takes on the screen.
size_t ScreenColumns(std::string_view text);

// The longest start of `text` that takes at most `columns` columns, never cut
// inside a character.
std::string CutToColumns(std::string_view text, size_t columns);

}  // namespace modMain
