// The known word a mistyped one most likely meant, for lines such as "did you
// mean --dry-run?".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace modMain {

// The first word of `known` nearest to `word`, ASCII letters compared in any
// case, when it is near enough to be a typo of it: at most one edit (a byte
// added, dropped or changed, or two neighbours swapped) for every three bytes
// of the longer of the two, and always one. nullopt when none is that near.
// Never raises but std::bad_alloc.
std::optional<std::string> NearestWord(std::string_view word,
                                       const std::vector<std::string>& known);

}  // namespace modMain
