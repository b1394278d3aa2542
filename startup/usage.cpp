#include "startup/usage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "run/download_settings.h"
#include "startup/command_line.h"

namespace modMain {

namespace {

constexpr int kAnswered = 0;
constexpr int kCannotAnswer = 2;

// The usage up to the keys of section "Download", then after them.
constexpr const char* kUsageHead = R"(Usage: fetchwell [-e]... [-s]
       fetchwell [-l] [--add URL...] [--remove N...] [--folder PATH]
                 [--set KEY=VALUE...] [-n] [-e]
       fetchwell -h | --help | -V | --version
Keeps a list of URLs and a download folder, and takes dated snapshots of them.

  -e             fetch every URL of the list into the folder, each file
                 stamped with the day's date; each -e runs the whole list
  -s             show the window "Download file" afterwards; it is shown
                 unless -e comes last of -e and -s (so also with no words)
  -l, --list     print the data files, the folder, the settings in effect
                 and the numbered entries
  --add URL...   append the URLs to the list (one URL an argument; a space
                 in one is written %20)
  --remove N...  remove the entries numbered N (as --list numbers them)
  --folder PATH  set the download folder (an existing folder, absolute)
  --set KEY=VALUE...
                 set keys of [Download], checked as a run reads them;
                 KEY= removes the key (its default is used)
  -n, --dry-run  print what -e would fetch; nothing is fetched or written
  -h, --help     print this help and exit
  -V, --version  print the version and exit
With --list, --add, --remove, --folder, --set or --dry-run the window is not
shown; changes are saved together, and only when every word is valid (else
status 2). An unknown word beginning with "--" ends the program with status
2 before anything is done, naming the nearest known word; one beginning with
a single "-" is said in one line and ignored; other words are ignored. -e and
-s may be in any letter case.

Files, beside the executable (installed: <prefix>/lib/fetchwell/):
  Files.dat      the list of URLs (created empty on the first start)
  Settings.inf   the settings, as INI text (written by Save in the window):
    [General]
    FolderPath=DIR      the download folder (default: the program's folder)
    [Download]
)";

constexpr const char* kUsageTail =
    R"(  A value that is not valid is said on standard error and the default used.
  Numbers are decimal digits only, with nothing after them. Section and key
  names match in any letter case; a key or section the program does not
  know, or one given twice, is said on standard error.

A transfer broken midway is resumed where it stopped (Range and If-Range)
when the server offers byte ranges and a strong ETag or a Last-Modified;
a file that changed meanwhile is fetched whole, never joined.
Each file fetched carries its record in the extended attribute
user.fetchwell. Proxies come from http_proxy, https_proxy and no_proxy.
User names and passwords may come from ~/.netrc, a regular file that must
not be readable by others.

Exit status:
  0    every fetch succeeded, or there was nothing to fetch
  1    at least one entry failed (each is reported on standard error,
       then "fetchwell: F of N entries failed")
  2    an error ended the program, or the window cannot be shown
  130  interrupted (Ctrl-C); 143 for SIGTERM

More in the manual: man fetchwell
)";

constexpr size_t kKeyColumn = 24;  // where the words on a key begin
constexpr size_t kWidth = 80;

// The lines of --help on `key`: "    KEY=PLACEHOLDER", then its sentence,
// wrapped at spaces into the key column.
std::string KeyText(const DownloadKey& key) {
  std::string text;
  std::string line = std::string("    ") + key.name + "=" + key.placeholder;
  bool bare = true;  // no word on `line` yet
  std::istringstream words(key.help);
  for (std::string word; words >> word;) {
    if (!bare && line.size() + 1 + word.size() > kWidth) {
      text += line + "\n";
      line.clear();
      bare = true;
    }
    line.resize(bare ? std::max(line.size() + 1, kKeyColumn) : line.size() + 1, ' ');
    line += word;
    bare = false;
  }
  return text + line + "\n";
}

// Writes all of `text` on standard output; false with errno set when it
// could not (a closed descriptor, a full disk).
bool WriteOut(const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written && std::ferror(stdout) == 0;
}

}  // namespace

std::string UsageText() {
  std::string text = kUsageHead;
  for (const DownloadKey& key : DownloadKeys()) text += KeyText(key);
  return text + kUsageTail;
}

std::string VersionText() {
  return std::string("fetchwell ") + FETCHWELL_VERSION + "\n";
}

std::optional<int> AnswerQuestion(int argc, const char* const* argv) {
  const Question question = AskedQuestion(argc, argv);
  if (question == Question::kNone) return std::nullopt;
  if (WriteOut(question == Question::kHelp ? UsageText() : VersionText())) return kAnswered;
  const int error = errno;
  std::fprintf(stderr, "fetchwell: cannot write to standard output: %s\n",
               error != 0 ? std::strerror(error) : "write error");
  return kCannotAnswer;
}

}  // namespace modMain
