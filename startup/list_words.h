// The checks of the list words' arguments (startup/command_line.h), made
// before anything is saved.
//
// A refusal is the one line to print on standard error, without its line
// break: "fetchwell: <word>: <why>", naming the word or argument at fault
// with any password in it masked and control bytes escaped. Never raises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "startup/command_line.h"

namespace modMain {

// The refusal of `word` on its own, or nullopt when it may go ahead:
//  - --add needs at least one URL, each one IsFetchableUrl;
//    "fetchwell: --add: not a URL the run can fetch: <word>";
//  - --remove needs at least one number, each decimal digits;
//  - --folder needs a path that is absolute, names an existing folder (a link
//    to one will do), holds no control byte and does not begin or end with a
//    space or tab (the settings file would not keep those);
//  - --list and --dry-run take nothing, and always go ahead.
std::optional<std::string> Refusal(const ListWord& word);

// The positions (from 0) of the entries that the --remove `word` names, in a
// list of `count` entries numbered from 1; or the refusal of the first number
// that names no entry (0, or above `count`), with `positions` left empty.
std::optional<std::string> PositionsToRemove(const ListWord& word, int32_t count,
                                             std::vector<int>& positions);

}  // namespace modMain
