#include "startup/run_report.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/temp_file.h"
#include "run/names.h"
#include "startup/screen_text.h"

namespace modMain {
namespace {

constexpr char kClear[] = "\r\033[K";
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

int TerminalWidth(int fd) {
  struct winsize ws {};
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

RunReport::RunReport(int fd, bool progress, int width, Clock now, Escapes escapes)
    : fd_(fd), progress_(progress), width_(width), now_(std::move(now)), escapes_(escapes) {}

RunReport::Escapes RunReport::EscapesOfTerminal() {
  const char* term = std::getenv("TERM");
  return term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0 ? Escapes::kNone
                                                                            : Escapes::kAnsi;
}

RunReport::~RunReport() {
  ClearLine();
}

void RunReport::EntryStarted(int number, int count, const std::string& url, const std::string&) {
  if (!runStartedSet_) {
    runStartedSet_ = true;
    runStarted_ = now_();
  }
  if (running_ > 1) return;  // the line follows the oldest transfer (RunProgressed)
  number_ = number;
  count_ = count;
  const std::string shown = EscapeControls(WithoutUserInfo(url));
  name_ = GetFileFromURL(shown);
  if (name_.empty()) name_ = shown;
  bytes_ = 0;
  total_ = -1;
  retry_.clear();
  started_ = now_();
  if (progress_) Draw();
}

void RunReport::RunProgressed(const fw::RunProgress& progress) {
  running_ = progress.running;
  done_ = progress.done;
  allBytes_ = progress.bytes;
  if (progress.oldestNumber != 0 && progress.oldestNumber != number_) {
    number_ = progress.oldestNumber;
    const std::string shown = EscapeControls(WithoutUserInfo(progress.oldestUrl));
    name_ = GetFileFromURL(shown);
    if (name_.empty()) name_ = shown;
    retry_.clear();
    started_ = now_();
  }
  bytes_ = progress.oldestBytes;
  total_ = progress.oldestTotal;
  if (progress_ && now_() - lastDraw_ >= kRedrawEvery) Draw();
}

void RunReport::EntryFetched(const std::string&, bool unchanged, int64_t bytes) {
  unchanged_ += unchanged;
  if (!unchanged) fetchedBytes_ += bytes;
}

void RunReport::EntryFailed(const std::string& url, const std::string& reason) {
  EntryNote(url, reason);
}

void RunReport::EntryNote(const std::string& url, const std::string& note) {
  Say(ShownUrl(EscapeControls(HidePassword(url))) + ": " + ShownUrlsIn(EscapeControls(note)));
}

void RunReport::EntryReplaces(const std::string& url, const std::string& name,
                              const std::string& earlierUrl) {
  Say(ShownUrl(EscapeControls(HidePassword(url))) + ": replaces " + EscapeControls(name) +
      ", fetched earlier in this run from " + ShownUrl(EscapeControls(HidePassword(earlierUrl))));
}

void RunReport::RunNote(const std::string& note) {
  Say(EscapeControls(note));
}

void RunReport::RunCounted(int failed, int entries) {
  if (progress_) {
    // An entry whose older snapshots could not be removed counts as failed
    // only; what it fetched still counts.
    const int fetched = entries - failed;
    const double seconds =
        runStartedSet_ ? std::chrono::duration<double>(now_() - runStarted_).count() : 0;
    Say(std::to_string(entries) + (entries == 1 ? " entry: " : " entries: ") +
        std::to_string(fetched) + " fetched (" + std::to_string(std::min(unchanged_, fetched)) +
        " unchanged), " + std::to_string(failed) + " failed, " + FormatBytes(fetchedBytes_) +
        " in " + FormatSeconds(seconds));
  } else if (failed > 0) {
    Say(std::to_string(failed) + " of " + std::to_string(entries) + " entries failed");
  }
  unchanged_ = 0;
  fetchedBytes_ = 0;
  runStartedSet_ = false;
}

void RunReport::EntryRetrying(int retry, int of, bool whole) {
  retry_ = "retry " + std::to_string(retry) + " of " + std::to_string(of);
  if (whole) retry_ += " (changed on the server: whole)";
  bytes_ = 0;
  total_ = -1;
  started_ = now_();
  if (progress_) Draw();
}

void RunReport::Say(const std::string& line) {
  ClearLine();
  Write("fetchwell: " + line + "\n");
}

void RunReport::RunEnded() {
  ClearLine();
}

void RunReport::ClearLine() {
  if (!drawn_) return;
  // Erased before the interrupt handler is told there is nothing left to
  // erase: a signal in between erases it twice, which shows nothing.
  Write(Erasure(drawnColumns_));
  fw::SetLineToClear(-1, {});
  drawn_ = false;
  drawnColumns_ = 0;
}

std::string RunReport::Erasure(size_t columns) const {
  if (escapes_ == Escapes::kAnsi) return kClear;
  return "\r" + std::string(columns, ' ') + "\r";
}

std::string RunReport::FormatBytes(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[unit]);
  return buf;
}

std::string RunReport::FormatSeconds(double seconds) {
  char buf[48];
  if (seconds < 59.95) {
    std::snprintf(buf, sizeof buf, "%.1f s", std::max(seconds, 0.0));
    return buf;
  }
  const auto whole = static_cast<long long>(seconds + 0.5);
  if (whole < 3600) {
    std::snprintf(buf, sizeof buf, "%lld min %lld s", whole / 60, whole % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lld h %lld min", whole / 3600, whole % 3600 / 60);
  }
  return buf;
}

// What the progress line can say after the entry's number, richest first;
// the byte counts give way before the entry's number and its name do.
std::array<std::string, 4> RunReport::Counts(std::chrono::steady_clock::time_point now) const {
  std::array<std::string, 4> counts;
  if (total_ > 0) counts[0] = std::to_string(bytes_ * 100 / total_) + "% ";
  counts[0] += FormatBytes(bytes_);
  counts[1] = counts[0];
  if (total_ >= 0) counts[0] += " of " + FormatBytes(total_);
  counts[2] = counts[0];
  const double seconds = std::chrono::duration<double>(now - started_).count();
  if (seconds >= 0.2) {
    counts[0] +=
        ", " + FormatBytes(static_cast<int64_t>(static_cast<double>(bytes_) / seconds)) + "/s";
  }
  std::swap(counts[1], counts[2]);  // with the total before without it
  if (!retry_.empty()) {
    for (std::string& c : counts) c = c.empty() ? retry_ : retry_ + ", " + c;
  }
  if (running_ > 1) {
    // Several at once: the bytes and speed of all.
    const std::string running = std::to_string(running_) + " running";
    counts[2] = running + ", " + FormatBytes(allBytes_);
    counts[0] = counts[1] = counts[2];
    const double all = std::chrono::duration<double>(now - runStarted_).count();
    if (all >= 0.2) {
      counts[0] +=
          ", " + FormatBytes(static_cast<int64_t>(static_cast<double>(allBytes_) / all)) + "/s";
    }
    counts[3] = running;
  }
  return counts;
}

void RunReport::Draw() {
  const auto now = now_();
  lastDraw_ = now;
  // Several at once: the entries done instead of the entry's number.
  const std::string number =
      running_ > 1 ? "[" + std::to_string(done_) + "/" + std::to_string(count_) + " done] "
                   : "[" + std::to_string(number_) + "/" + std::to_string(count_) + "] ";
  // One column is left free: a line that fills the last column makes some
  // terminals wrap, and "\r" would then no longer reach its start.
  const int width = width_ > 0 ? width_ : TerminalWidth(fd_);
  const size_t limit = std::min<size_t>(width > 1 ? static_cast<size_t>(width - 1) : 1, kMaxWidth);
  const size_t wanted = std::min<size_t>(ScreenColumns(name_), kNameColumnsKept);
  std::string line;
  for (const std::string& c : Counts(now)) {
    line = c.empty() ? number : number + c + "  ";
    if (ScreenColumns(line) + wanted <= limit) break;
  }
  if (ScreenColumns(line) + wanted > limit) line = number;
  Put(CutToColumns(line + name_, limit));
}

// Writes `line` over the one drawn before.
void RunReport::Put(const std::string& line) {
  const size_t columns = ScreenColumns(line);
  const size_t before = drawnColumns_;
  drawn_ = true;
  drawnColumns_ = std::max(columns, escapes_ == Escapes::kAnsi ? 0 : before);
  // Should SIGINT or SIGTERM end the program from now on, its handler erases
  // the line; set before the line is written, so that no moment in between
  // leaves it on the screen.
  fw::SetLineToClear(fd_, Erasure(drawnColumns_));
  if (escapes_ == Escapes::kAnsi) {
    Write("\r" + line + "\033[K");
  } else {
    // Spaces cover what a longer line before left.
    const size_t left = before > columns ? before - columns : 0;
    Write("\r" + line + std::string(left, ' '));
  }
}

void RunReport::Write(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd_, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace modMain
