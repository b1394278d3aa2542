// Reports a download run on one file descriptor (standard error).
//
// Each failed entry gives "fetchwell: <URL>: <reason>" (password as "***",
// control bytes escaped). Not on a terminal, a run with failures ends with
// "fetchwell: F of N entries failed" and a run without says nothing more; on a
// terminal, every run ends with its closing line instead, e.g. "fetchwell: 8
// entries: 7 fetched (3 unchanged), 1 failed, 5.1 MiB in 2.3 s" (the bytes of
// the files fetched, not those made from an unchanged snapshot; the time from
// the first request). On a terminal, one progress line is rewritten in place:
// the entry's number, percentage, bytes, speed and name (several at once:
// entries done, transfers running, bytes and speed of all, the oldest entry's
// name). It never takes the last column; on a narrow terminal the speed, the
// total, then the byte counts give way before the number and the name. It is
// redrawn at most ten times a second and cleared before any other line, at the
// end, and by the interrupt handler (fw::SetLineToClear). Write errors are
// ignored; nothing here raises.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "run/names.h"
#include "run/run_observer.h"

namespace modMain {

// `text` with control bytes (below 0x20, and 0x7f) written as "\xNN", so that
// printing it cannot move the cursor or change the terminal.
std::string EscapeControls(const std::string& text);

class RunReport : public RunObserver {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // How the progress line is rewritten: with clear-to-end, or with spaces.
  enum class Escapes { kAnsi, kNone };
  // kNone when TERM is unset, empty or "dumb"; kAnsi otherwise.
  static Escapes EscapesOfTerminal();

  // Writes to `fd`; draws the progress line when `progress` is true. `width`
  // is the terminal's width in columns, 0 to ask the terminal each time. `now`
  // gives the time used for throttling and speed.
  RunReport(int fd, bool progress, int width = 0, Clock now = std::chrono::steady_clock::now,
            Escapes escapes = Escapes::kAnsi);
  ~RunReport() override;
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  void EntryStarted(int number, int count, const std::string& url,
                    const std::string& destination) override;
  void RunProgressed(const fw::RunProgress& progress) override;
  void EntryFetched(const std::string& url, bool unchanged, int64_t bytes) override;
  void EntryFailed(const std::string& url, const std::string& reason) override;
  void RunEnded() override;
  // "retry 1 of 2" joins the progress line.
  void EntryRetrying(int retry, int of, bool whole) override;
  // "fetchwell: <URL>: <note>". Here and below, a URL longer than
  // kMostShownUrl bytes, and one the note quotes, is shown cut (ShownUrl).
  void EntryNote(const std::string& url, const std::string& note) override;
  // "fetchwell: <URL>: replaces <name>, fetched earlier in this run from <URL>".
  void EntryReplaces(const std::string& url, const std::string& name,
                     const std::string& earlierUrl) override;
  // "fetchwell: <note>".
  void RunNote(const std::string& note) override;
  // On a terminal, the closing line; elsewhere "fetchwell: <failed> of
  // <entries> entries failed", when `failed` > 0. The next run counts anew.
  void RunCounted(int failed, int entries) override;

  // Removes the progress line, if one is drawn, so that other output can follow.
  void ClearLine();

  // "12.0 KiB", "3.5 MiB", "512 B": a byte count for people.
  static std::string FormatBytes(int64_t bytes);
  // "2.3 s", "4 min 5 s", "3 h 12 min": a run's length for people.
  static std::string FormatSeconds(double seconds);

 private:
  // The name keeps at least this many columns (when it is that long) before
  // the byte counts give way; lines are never longer than kMaxWidth.
  static constexpr size_t kNameColumnsKept = 16;
  static constexpr size_t kMaxWidth = 500;

  void Draw();
  std::array<std::string, 4> Counts(std::chrono::steady_clock::time_point now) const;
  void Put(const std::string& line);
  void Write(const std::string& text);
  // Prints one whole line, the progress line cleared first.
  void Say(const std::string& line);
  // What erases a drawn line of `columns` columns.
  std::string Erasure(size_t columns) const;

  int fd_;
  bool progress_;
  int width_;
  Clock now_;
  Escapes escapes_;
  bool drawn_ = false;
  size_t drawnColumns_ = 0;  // the widest line drawn since the last clear
  int number_ = 0;
  int count_ = 0;
  std::string name_;
  int64_t bytes_ = 0;
  int64_t total_ = -1;
  std::string retry_;  // "retry 1 of 2" while the entry is tried again
  // Several transfers at once: the run's figures.
  int running_ = 0;
  int done_ = 0;
  int64_t allBytes_ = 0;
  std::chrono::steady_clock::time_point runStarted_{};
  bool runStartedSet_ = false;
  // The run's results so far, for its closing line.
  int unchanged_ = 0;
  int64_t fetchedBytes_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace modMain
