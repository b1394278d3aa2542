// The answers to the question words of the command line: the usage (for "-h"
// and "--help") and the version (for "-V" and "--version"), printed on
// standard output before anything is loaded, so that they need neither the
// data files nor a display.
#pragma once

#include <string>

namespace modMain {

// The usage: the words, the two data files and where they live, every key of
// "Settings.inf" with its default (those of section "Download" as
// DownloadKeys() gives them), where proxies and passwords come from, and the
// exit statuses. No line is wider than 80 columns.
std::string UsageText();

// "fetchwell <version>" and a line break.
std::string VersionText();

}  // namespace modMain
