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
//  - --set needs at least one KEY=VALUE, each naming a key of DownloadKeys()
//    in any letter case (an unknown one is refused with the nearest key,
//    FolderPath with a pointer to --folder) and giving a value that key
//    takes as a run reads it (blanks around it dropped), with no control
//    byte; an empty VALUE (removing the key) always goes ahead;
//  - --list and --dry-run take nothing, and always go ahead.
std::optional<std::string> Refusal(const ListWord& word);

// The positions (from 0) of the entries that the --remove `word` names, in a
// list of `count` entries numbered from 1; or the refusal of the first number
// that names no entry (0, or above `count`), with `positions` left empty.
// One --set KEY=VALUE text as the change it asks for: the key as the table
// spells it, and the value (blanks around it dropped), empty to remove it.
// REQUIRES: `text` went ahead with Refusal.
struct SettingChange {
  std::string key;
  std::string value;
};
SettingChange ChangeOf(const std::string& text);

std::optional<std::string> PositionsToRemove(const ListWord& word, int32_t count,
                                             std::vector<int>& positions);

}  // namespace modMain
