#include "startup/usage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "startup/command_line.h"

namespace modMain {

namespace {

constexpr int kAnswered = 0;
constexpr int kCannotAnswer = 2;

constexpr const char* kUsage = R"(Usage: fetchwell [-e]... [-s]
       fetchwell [-l] [--add URL...] [--remove N...] [--folder PATH] [-n] [-e]
       fetchwell -h | --help | -V | --version
Keeps a list of URLs and a download folder, and takes dated snapshots of them.

  -e             fetch every URL of the list into the folder, each file
                 stamped with the day's date; each -e runs the whole list
  -s             show the window "Download file" afterwards; it is shown
                 unless -e comes last of -e and -s (so also with no words)
  -l, --list     print the data files, the folder, the settings in effect
                 and the numbered entries
  --add URL...   append the URLs to the list
  --remove N...  remove the entries numbered N (as --list numbers them)
  --folder PATH  set the download folder (an existing folder, absolute)
  -n, --dry-run  print what -e would fetch; nothing is fetched or written
  -h, --help     print this help and exit
  -V, --version  print the version and exit
With --list, --add, --remove, --folder or --dry-run the window is not shown;
changes are saved together, and only when every word is valid (else status 2).
An unknown word beginning with "-" is said in one line and ignored; other
words are ignored. -e and -s may be in any letter case.

Files, beside the executable (installed: <prefix>/lib/fetchwell/):
  Files.dat      the list of URLs (created empty on the first start)
  Settings.inf   the settings, as INI text (written by Save in the window):
    [General]
    FolderPath=DIR      the download folder (default: the program's folder)
    [Download]
    ConnectTimeout=S    give up connecting after S seconds (default 30,
                        at most 86400)
    StallTimeout=S      fail a transfer that moves no data for S seconds
                        (default 60, at most 86400)
    Retries=N           try a fetch that failed in a way that may pass
                        again up to N times (default 2, at most 10;
                        0 turns retries off)
    Parallel=N          fetch up to N entries at once, with at most N
                        connections to one host (default 6, at most 32;
                        1: one after the other); over HTTP/2 a host takes
                        up to 16 times N at once, as streams of one
                        connection
    SkipUnchanged=0|1   1: a file unchanged on the server is not fetched
                        again but copied from the last snapshot (default 0)
    KeepCopies=N        keep the newest N snapshots of each URL, deleting
                        older ones the program made (default 0: keep them
                        all); renamed or copied files are never deleted
    DateFormat=FMT      the date in file names, a strftime format with "/"
                        turned into "-" (default %x; e.g. %F)
    CAFile=FILE         an extra PEM bundle of trusted certificates
    RunTimeout=S        end a run after S seconds, its unfinished entries
                        failing (default 82800, at most 604800)
    ReportFile=FILE     append one JSON line per entry and one per run to
                        FILE (relative: in the program's folder)
    HeadersFile=FILE    request headers by URL prefix, from a private FILE
                        (relative: in the program's folder)
    UserAgent=TEXT      the User-Agent header (default fetchwell/VERSION)
  A value that is not valid is said on standard error and the default used.
  Numbers are decimal digits only, with nothing after them.

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

// Writes all of `text` on standard output; false with errno set when it
// could not (a closed descriptor, a full disk).
bool WriteOut(const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written && std::ferror(stdout) == 0;
}

}  // namespace

std::string UsageText() {
  return kUsage;
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
