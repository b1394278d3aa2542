// Carries out the list words of a command line (startup/command_line.h)
// without the window: --add, --remove, --folder and --set change the data
// files, --list and --dry-run report on standard output.
#pragma once

#include "startup/command_line.h"

namespace modMain {

// Loads the list and the settings without creating either file (a missing
// "Files.dat" has no entries, a missing "Settings.inf" gives the defaults),
// checks every list word of `line` (startup/list_words.h), makes the changes
// in the order given, then saves: the list file, through the list store's
// atomic save, only when --add or --remove was given; then, in one write of
// the settings file, "General"/"FolderPath" for --folder and the keys of
// --set in section "Download" (an empty value removes the key: every entry of
// it in the section), every other byte of the file kept; the file is written
// only when one of those was given, and not made for a removal alone.
// Then prints the reports of --list and --dry-run (startup/list_text.h) in the
// order given. Nothing is fetched, and --dry-run makes no file or folder.
// From the load to the last save the program folder is locked
// (platform/file_lock.h): exclusively when anything changes, shared otherwise;
// the reports are printed once the lock is let go.
//
// Returns 0 when done; 2 after a refusal, said in one line on standard error
// with nothing saved and nothing printed on standard output, or when the
// reports cannot be written. Raises fw::Error when a data file cannot be read
// (a damaged list, a list file that is not a regular file) or saved. The
// window object is unloaded when this returns.
int RunListWords(const CommandLine& line);

}  // namespace modMain
