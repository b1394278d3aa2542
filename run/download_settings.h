// The optional keys of section "Download", read once for a run; each value
// present but not valid is named in a line of its own and its default used.
//
// Every key is one row of DownloadKeys(): reading, checking a value (also for
// --set), --list and --help all go by that table, in its order.
//
// Whole numbers (ConnectTimeout, StallTimeout, Retries, Parallel, KeepCopies,
// RunTimeout) are decimal digits only, at least the key's least; a larger one
// counts as the key's most. SkipUnchanged is "0" or "1", Names "url" or
// "path". DateFormat must give
// a date of 1 to 100 bytes without control characters (UsableDate). CAFile,
// ReportFile and HeadersFile take any text; UserAgent any text without
// control characters. A missing or empty key gives its default silently.
//
// Section and key names match in any letter case. What the file holds that
// the program does not read is said in `unused`, once each: a key of
// [Download] not in the table (or of [General] other than FolderPath), a
// section other than those two, a section or key given again (only the first
// is read), and entries above the first section; with the known name it most
// likely meant.
#pragma once

#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/clsSettings.h"

struct DownloadSettings {
  long connectTimeout = 30;  // seconds to connect, 1 to 86400
  long stallTimeout = 60;    // seconds without data before a fetch fails, 1 to 86400
  int retries = 2;           // extra attempts after a transient failure, 0 to 10
  // Transfers at once, and connections to one host: 1 (one entry after the
  // other) to 32; more counts as 32. 6, the connections a browser opens to one host.
  int parallel = 6;
  bool skipUnchanged = false;
  int keepCopies = 0;             // snapshots kept per URL, 0 (all) to 1000000
  std::string dateFormat = "%x";  // strftime format of the date in file names
  std::string caFile;             // extra certificates; empty for none
  long runTimeout = 82800;        // seconds a run may last, 1 to 604800 (23 hours
                                  // by default, so that a daily run ends before the next)
  std::string reportFile;         // the file each run appends its JSON lines to, as
                                  // written (relative to the program's folder unless
                                  // absolute); empty for none
  bool namesByPath = false;       // Names=path: entries named from their URL's path
                                  // (run/names.h NameRule::kPath); url by default
  std::string headersFile;        // the file of request headers (run/headers_file.h), as
                                  // written, as ReportFile; empty for none
  // The User-Agent header: any text without control characters.
  std::string userAgent = "fetchwell/" FETCHWELL_VERSION;
  // One line per key present with a value that is not valid, in the table's
  // order, e.g.
  //   Settings.inf: KeepCopies=+1 is not valid (a whole number from 0 to 1000000); 0 is used
  // The value is given as stored (control bytes included; the printer escapes
  // them), cut to its first 100 bytes and "..." when longer.
  std::vector<std::string> invalid;
  // One line for each thing in the file that is not read, in file order,
  // never with a value, e.g.
  //   Settings.inf: KeepCopy in [Download] is not a known key and is not read; did you mean
  //   KeepCopies?
  // An unknown key is quoted only when it is a short word of letters, digits,
  // "_", "-" and "." (as a mistyped key is); other text, such as a header or
  // token pasted into the file, is said without it.
  std::vector<std::string> unused;
};

// One key of section "Download".
struct DownloadKey {
  const char* name;         // as shown, e.g. "ConnectTimeout"
  const char* placeholder;  // what --help shows after "=", e.g. "S"
  const char* help;         // --help's sentence on it, its default included
  // What a valid value is, as a line about one that is not says it.
  std::string (*valid)();
  // Takes `value` (trimmed, not empty) into `settings`; false when it is not
  // valid, `settings` then as they were.
  bool (*take)(DownloadSettings& settings, const std::string& value);
  // The value in effect, as --list shows it (before control bytes are escaped).
  std::string (*shown)(const DownloadSettings& settings);
};

// Every key of section "Download", in the order --list and --help show them.
std::span<const DownloadKey> DownloadKeys();

// The key called `name` in any letter case, or nullptr.
const DownloadKey* FindDownloadKey(std::string_view name);

// Whether `text` holds a control byte (below 0x20, or 0x7f), which no value
// kept in a file or sent in a header may hold.
bool HasControl(std::string_view text);

// Whether `key`, not a known one, may be quoted in a line: a word such as
// a mistyped key would be (letters, digits, "_", "-" and "." only, and not
// much longer than the longest key). A header pasted as a key ("Authorization:
// Basic dXNlcjpwYXNz==", the key being the text before its "=") or a long
// token is never quoted.
bool Quotable(const std::string& key);

// Reads section "Download" of `settings`. Never raises: a settings file that
// cannot be read gives the defaults and no lines.
DownloadSettings ReadDownloadSettings(clsSettings& settings);

// The date `when` in the strftime `format`, with every "/" turned into "-" so
// that it cannot add folders to a file's name; nullopt when the date is empty,
// longer than 100 bytes or holds a control character (below 0x20, or 0x7f),
// which no file name should get.
std::optional<std::string> UsableDate(const std::string& format, const std::tm& when);
