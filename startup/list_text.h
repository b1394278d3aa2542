// The reports of --list and --dry-run, as text for standard output.
//
// Every URL is shown with its password as "***" and every text with control
// bytes escaped (startup/run_report.h), so nothing printed can hold a secret
// or move the cursor. Never raises.
//
// --list:
//   List file: <path>               (" (missing: no entries)" added when so)
//   Settings file: <path>           (" (missing: defaults)" added when so)
//   Download folder: <folder>
//   Settings in effect:
//     ConnectTimeout=30
//     ... one "Key=value" line for each key of DownloadKeys(), in its order ...
//     not valid: <line of DownloadSettings::invalid>   (one per line)
//     note: <line of DownloadSettings::unused>         (one per line)
//   HeadersFile: 3 headers for 2 prefixes   (when set: RequestHeaders::Summary)
//   Entries: <count>
//     1. <URL> -> <destination>
//     2. (empty)
// --dry-run:
//   Dry run of -e: <n> of <count> entries would be fetched; nothing is fetched or written
//     1. <URL> -> <destination>[; basis: <name> | ; no basis]
//   Download folder: <folder>
//   Settings in effect:
//     ... as for --list ...
// The basis part is there only when SkipUnchanged is 1.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run/download_run.h"
#include "run/download_settings.h"

namespace modMain {

// What the reports show.
struct ListView {
  std::string listFile;
  bool listFileExists = false;
  std::string settingsFile;
  bool settingsFileExists = false;
  std::string folder;  // the download folder in effect
  DownloadSettings settings;
  std::string headers;  // what the HeadersFile gives (no value of it); empty when unset
  std::vector<PlannedEntry> entries;  // in list order, numbered from 1
};

// The --list report.
std::string ListingText(const ListView& view);

// The --dry-run report: only the entries a run fetches (those not empty),
// each with its number in the list.
std::string DryRunText(const ListView& view);

}  // namespace modMain
