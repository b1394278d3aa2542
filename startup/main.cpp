// The program's entry: answers --help and --version, says which options it
// does not know (and ends on one beginning with "--"), carries out the list
// words (--list, --add, --remove, --folder, --set, --dry-run) when there are
// any, then loads the saved list and folder, runs the download run once for
// each "-e" (none after a --dry-run), and shows the window or ends
// (startup/command_line.h tells the order).
//
// Exit status: 0 when every fetch succeeded or there was nothing to fetch, 1
// when a download run had a failed entry, 2 when an error ended the program
// (or a list word was refused, an unknown option began with "--", or the
// window could not be shown), 128 + the signal number when SIGINT or SIGTERM
// ended it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/temp_file.h"
#include "startup/command_line.h"
#include "startup/error_report.h"
#include "startup/hidden_passwords.h"
#include "startup/list_run.h"
#include "startup/run_report.h"
#include "startup/window_module.h"
#include "ui/frmMain.h"

namespace {

constexpr int kAllFetched = 0;
constexpr int kSomeFailed = 1;
constexpr int kEndedByError = 2;

// The standard error report: the window's message box while the window module
// is open, otherwise one line on standard error.
int ReportError(int number, const std::string& description, modMain::RunReport& report) {
  report.ClearLine();
  if (!modMain::ReportErrorInBox(number, description)) {
    modMain::PrintError(STDERR_FILENO, number, description);
  }
  return kEndedByError;
}

// Ends the window module's application object when Main returns, by any path,
// while the toolkit is still whole; left to the end of the process it would be
// destroyed after the toolkit's own statics, and crash.
struct WindowModuleCloser {
  WindowModuleCloser() = default;
  WindowModuleCloser(const WindowModuleCloser&) = delete;
  WindowModuleCloser& operator=(const WindowModuleCloser&) = delete;
  ~WindowModuleCloser() { modMain::CloseWindowModule(); }
};

// Opens /dev/null on any of descriptors 0 to 2 that the caller left closed:
// otherwise the first file opened would take its number, and lines meant for
// standard error would land in a downloaded file.
void KeepStandardDescriptorsOpen() {
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) return;
  }
}

// The list words, then each run, then the window, as `line` asks; returns the
// exit status. Raises fw::Error when an error ends the program.
int CarryOut(const modMain::CommandLine& line, modMain::RunReport& report) {
  if (!line.listWords.empty()) {
    const int acted = modMain::RunListWords(line);
    if (acted != kAllFetched || line.runs == 0 || line.DryRun()) return acted;
  }
  int status = kAllFetched;
  frmMain& form = frmMain::Instance();
  form.SetRunObserver(&report);
  form.LoadData();
  for (int run = 0; run < line.runs; ++run) {
    if (form.DownloadFiles() > 0) status = kSomeFailed;
  }
  form.SetRunObserver(nullptr);
  if (line.show) modMain::RunWindow(form);
  frmMain::Unload();
  return status;
}

}  // namespace

namespace modMain {

// The program's entry: returns the exit status.
int Main(int argc, char** argv) {
  // -h/--help and -V/--version answer before anything else is done.
  if (const auto answer = modMain::AnswerQuestion(argc, argv)) return *answer;
  KeepStandardDescriptorsOpen();
  // Dates follow LC_TIME from the environment.
  std::setlocale(LC_ALL, "");
  // A reader of standard error that has gone away must not end the run.
  signal(SIGPIPE, SIG_IGN);
  // A file size limit (ulimit -f) fails the write that passes it with EFBIG,
  // said like a full disk, instead of ending the run.
  signal(SIGXFSZ, SIG_IGN);
  fw::InstallInterruptCleanup();

  const modMain::CommandLine line = modMain::ReadCommandLine(argc, argv);
  // The words are read: a password given on the command line goes from what
  // others see of it before anything is fetched.
  modMain::HidePasswordsInArguments(argc, argv);
  for (const auto& word : line.unknown) {
    std::fprintf(stderr, "%s\n", modMain::UnknownOptionLine(word).c_str());
  }
  // A mistyped long word (--dryrun) must not do real work: nothing is loaded,
  // fetched or shown.
  if (line.Ends()) return kEndedByError;
  const WindowModuleCloser closer;
  if (line.show) {
    std::string why;
    if (!modMain::OpenWindowModule(argc, argv, why)) {
      std::fprintf(stderr, "fetchwell: cannot show the window: %s\n",
                   modMain::EscapeControls(why).c_str());
      return kEndedByError;
    }
  }

  // An interrupt clears the progress line through the interrupt cleanup.
  modMain::RunReport report(STDERR_FILENO, isatty(STDERR_FILENO) == 1, 0,
                            std::chrono::steady_clock::now,
                            modMain::RunReport::EscapesOfTerminal());
  try {
    return CarryOut(line, report);
  } catch (const fw::Error& e) {
    return ReportError(e.Number(), e.Description(), report);
  } catch (const std::bad_alloc&) {
    return ReportError(fw::kOutOfMemory, "Out of memory", report);
  } catch (const std::exception& e) {
    return ReportError(fw::kInternalError, std::string("Internal error: ") + e.what(), report);
  } catch (...) {
    return ReportError(fw::kInternalError, "Internal error: an exception of unknown type", report);
  }
}

}  // namespace modMain

int main(int argc, char** argv) {
  return modMain::Main(argc, argv);
}
