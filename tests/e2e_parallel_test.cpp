// End-to-end: transfers side by side and broken transfers resumed, through the
// built fetchwell against the loopback server. The server counts how many
// requests it holds at once and records what each resumable request asked, so
// that every check is made on what the server saw, never on how long a run
// took: a barrier that lets requests go only once Parallel of them are there
// at the same time proves that they ran together.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fetch/disk_writer.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// A Last-Modified date for the resumable resources, as it goes in a query and
// as the server sends it.
constexpr char kDateInQuery[] = "Mon,%2001%20Jan%202024%2000:00:00%20GMT";
constexpr char kDate[] = "Mon, 01 Jan 2024 00:00:00 GMT";
constexpr char kLaterDateInQuery[] = "Tue,%2002%20Jan%202024%2000:00:00%20GMT";

// The second version of a /resume resource: byte i is (i + 1) % 251.
std::string SecondVersion(size_t n) {
  return LoopbackServer::Pattern(n + 1).substr(1);
}

// N of a "bytes=N-" Range; -1 for anything else.
long long RangeStart(const std::optional<std::string>& range) {
  if (!range || range->rfind("bytes=", 0) != 0 || range->size() < 8 || range->back() != '-') {
    return -1;
  }
  const std::string digits = range->substr(6, range->size() - 7);
  if (digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(digits);
}

class E2eParallelTest : public ::testing::Test {
 protected:
  // Writes the list, and "Settings.inf" with the program's folder as
  // FolderPath and `download` as its section [Download].
  void Prepare(const Words& entries, const std::string& download = "") {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + program_.Folder().Path() + "\n[Download]\n" + download);
  }
  std::string Dated(const std::string& stem, const std::string& extension = "bin") const {
    return program_ / (stem + "-" + today_ + "." + extension);
  }
  // What the folder holds besides the program and its data files.
  std::vector<std::string> OtherFiles() const {
    std::vector<std::string> names;
    for (const auto& name : program_.Folder().Entries()) {
      if (name != "fetchwell" && name != "fetchwell-window.so" && name != "Files.dat" &&
          name != "Settings.inf") {
        names.push_back(name);
      }
    }
    return names;
  }
  // `count` entries behind a barrier of `together` requests under `key`; entry
  // i is fetched into "<key>-<i>" and is 1000 + 37 * i bytes long. Requests
  // let go stay in flight 200 ms more, so that a transfer sent beside them,
  // one more than allowed, is seen at the server (were they to answer at once,
  // it could come just after them and pass unseen). A correct run never has
  // one to show, whatever the machine's load.
  Words GatedEntries(const std::string& key, int count, int together) const {
    Words entries;
    for (int i = 0; i < count; ++i) {
      entries.push_back(server_.Url("/gate/" + key + "/" + std::to_string(together) +
                                    "?linger=200&size=" + std::to_string(GatedSize(i)) + "&n=/" +
                                    key + "-" + std::to_string(i) + ".bin"));
    }
    return entries;
  }
  static size_t GatedSize(int i) { return static_cast<size_t>(1000 + 37 * i); }
  void ExpectGatedFiles(const std::string& key, int count) const {
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(ReadFile(Dated(key + "-" + std::to_string(i))) ==
                  LoopbackServer::Pattern(GatedSize(i)))
          << key << " entry " << i;
    }
  }

  LoopbackServer server_;
  ProgramCopy program_;
  const std::string today_ = TodayInTheCLocale();
};

// Parallel=4, the default of 6, the most (32, for the twelve entries here all
// at once) and a number above it, which counts as the most without a word: the
// server never holds more requests at once than that, and it holds that many at
// once every time (each barrier of that many fills; none lets go by its time
// limit), so the run takes the time of the slowest few, not of all.
TEST_F(E2eParallelTest, AtMostParallelTransfersRunAndThatManyRunTogether) {
  struct Case {
    std::string key;
    std::string download;  // the section's lines
    int together;          // the transfers expected at once
  };
  const std::vector<Case> cases = {{"four", "Parallel=4\n", 4},
                                   {"default", "", 6},
                                   {"most", "Parallel=32\n", 12},
                                   {"above", "Parallel=33\n", 12}};
  constexpr int kEntries = 12;
  for (const Case& c : cases) {
    Prepare(GatedEntries(c.key, kEntries, c.together), c.download);
    const RunResult run = program_.Run({"-e"});
    EXPECT_EQ(run.status, 0) << c.key << ": " << run.errors;
    EXPECT_EQ(run.errors, "") << c.key;
    const LoopbackServer::Flow flow = server_.FlowOf(c.key);
    EXPECT_EQ(flow.maxInFlight, c.together) << c.key;
    EXPECT_EQ(flow.timedOut, 0) << c.key << ": a barrier of " << c.together
                                << " requests never filled";
    EXPECT_EQ(flow.released, kEntries / c.together) << c.key;
    EXPECT_EQ(flow.arrived, kEntries) << c.key;
    ExpectGatedFiles(c.key, kEntries);
  }
}

// Parallel=1: one transfer at a time, each answer held back a little so that
// two at once would show at the server.
TEST_F(E2eParallelTest, ParallelOneFetchesStrictlyOneAtATime) {
  constexpr int kEntries = 12;
  Words entries;
  for (int i = 0; i < kEntries; ++i) {
    entries.push_back(server_.Url("/paced/one/" + std::to_string(GatedSize(i)) + "?ms=80&n=/one-" +
                                  std::to_string(i) + ".bin"));
  }
  Prepare(entries, "Parallel=1\n");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  const LoopbackServer::Flow flow = server_.FlowOf("one");
  EXPECT_EQ(flow.maxInFlight, 1);
  EXPECT_EQ(flow.arrived, kEntries);
  ExpectGatedFiles("one", kEntries);
}

// Over HTTPS: a host that speaks HTTP/2 carries every transfer as a stream
// of one connection, also when more are to run at once than one connection
// carries; one that allows fewer streams than Parallel gets only the
// connections Parallel's streams need; one that speaks HTTP/1.1 gets a
// connection per transfer at once, as many as Parallel allows.
TEST_F(E2eParallelTest, Http2TransfersShareOneConnection) {
  constexpr int kEntries = 120;  // more than one HTTP/2 connection carries at once
  using Mode = LoopbackServer::Mode;
  const struct {
    Mode mode;
    int parallel;
    int streams;      // the server's limit per connection; 0: its default (100)
    int connections;  // expected; 0: more than one
  } cases[] = {
      {Mode::kHttp2WithAuthority, 16, 0, 1}, {Mode::kHttp2WithAuthority, 16, 10, 2},
      {Mode::kHttp2WithAuthority, 6, 4, 2},  {Mode::kHttp2WithAuthority, 6, 50, 1},
      {Mode::kHttpsWithAuthority, 16, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("Parallel=" + std::to_string(c.parallel) + ", " + std::to_string(c.streams) +
                 " streams");
    LoopbackServer server(c.mode, 0, c.streams);
    Words entries;
    for (int i = 0; i < kEntries; ++i) {
      entries.push_back(server.Url("/bytes/" + std::to_string(GatedSize(i)) + "?n=/s-" +
                                   std::to_string(i) + ".bin"));
    }
    Prepare(entries,
            "Parallel=" + std::to_string(c.parallel) + "\nCAFile=" + server.AuthorityFile() + "\n");
    const RunResult run = program_.Run({"-e"});
    EXPECT_EQ(run.status, 0) << run.errors;
    const LoopbackServer::Counts counts = server.Stats();
    EXPECT_EQ(counts.requests, kEntries);
    if (c.connections > 0) {
      EXPECT_EQ(counts.connections, c.connections);
    } else {
      EXPECT_GT(counts.connections, 1);
    }
    ExpectGatedFiles("s", kEntries);
  }
}

// The first two entries are answered only once the third and the fifth have
// been: still every line, the report file's entries and the choice between
// two entries of one name follow the list, not the order the answers came in.
// The fourth has the second's name and does not hold it up (a run may well
// keep an entry waiting for an earlier one of its name); it wins, though the
// earlier one is slow.
TEST_F(E2eParallelTest, ResultsAreToldInListOrderWhateverFinishesFirst) {
  const std::string failsLate = server_.Url("/hold/order/2?status=404&n=/gone.bin");
  const std::string sameLate = server_.Url("/hold/order/2?size=1000&n=/same.bin");
  const std::string failsEarly = server_.Url("/status/404?done=order&n=/missing.bin");
  const std::string sameEarly = server_.Url("/bytes/2000?n=/x/same.bin");
  const std::string other = server_.Url("/bytes/300?done=order&n=/other.bin");
  const Words entries = {failsLate, sameLate, failsEarly, sameEarly, other};
  Prepare(entries, "ReportFile=report.jsonl\n");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1) << run.errors;

  const LoopbackServer::Flow flow = server_.FlowOf("order");
  EXPECT_EQ(flow.done, 2);
  EXPECT_EQ(flow.timedOut, 0) << "the first two entries were not held until the third and the "
                                 "fifth had their answers: they did not run side by side";

  EXPECT_EQ(run.errors, "fetchwell: " + failsLate + ": HTTP 404\n" + "fetchwell: " + failsEarly +
                            ": HTTP 404\n" + "fetchwell: " + sameEarly + ": replaces " + "same-" +
                            today_ + ".bin, fetched earlier in this run from " + sameLate + "\n" +
                            "fetchwell: 2 of 5 entries failed\n");
  // The later entry of the name wins, though the earlier one finished last.
  EXPECT_TRUE(ReadFile(Dated("same")) == LoopbackServer::Pattern(2000));
  EXPECT_TRUE(ReadFile(Dated("other")) == LoopbackServer::Pattern(300));

  // The report file: one line an entry, in list order, then the run's line.
  const std::string report = ReadFile(program_ / "report.jsonl");
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = report.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(report.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), entries.size() + 1) << report;
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_NE(lines[i].find("\"url\":\"" + entries[i] + "\""), std::string::npos)
        << "line " << i << ": " << lines[i];
  }
  EXPECT_NE(lines.back().find("\"event\":\"run\""), std::string::npos) << lines.back();
}

// A transfer cut off halfway, from a server that can send the rest, is taken
// up where it stopped: the retry asks for bytes N on with If-Range, and the
// 206 that starts at N completes the same file. If-Range is the strong ETag,
// else the Last-Modified (a weak ETag is no use for ranges).
TEST_F(E2eParallelTest, ABrokenTransferIsResumedWhereItStopped) {
  constexpr size_t kSize = 600000;
  constexpr long long kCut = 250000;
  const std::string common =
      "/" + std::to_string(kSize) + "?cut=" + std::to_string(kCut) + "&lm=" + kDateInQuery;
  struct Case {
    std::string key;
    std::string validators;  // more of the query
    std::string ifRange;     // expected
  };
  const std::vector<Case> cases = {
      {"strong", "&etag=%22v1%22", "\"v1\""},
      {"dated", "", kDate},
      {"weak-and-dated", "&etag=W/%22w1%22", kDate},
  };
  Words entries;
  for (const Case& c : cases) {
    entries.push_back(
        server_.Url("/resume/" + c.key + common + c.validators + "&n=/" + c.key + ".bin"));
  }
  Prepare(entries);
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  for (const Case& c : cases) {
    EXPECT_TRUE(ReadFile(Dated(c.key)) == LoopbackServer::Pattern(kSize)) << c.key;
    const std::vector<LoopbackServer::Request> requests = server_.RequestsOf(c.key);
    ASSERT_EQ(requests.size(), 2u) << c.key;
    EXPECT_FALSE(requests[0].range) << c.key << ": the first attempt asks for the whole";
    EXPECT_EQ(requests[0].sent, kCut) << c.key;
    const long long start = RangeStart(requests[1].range);
    EXPECT_GT(start, 0) << c.key << ": Range " << requests[1].range.value_or("<none>");
    EXPECT_LE(start, kCut) << c.key << ": asks from past the bytes it got";
    EXPECT_EQ(requests[1].ifRange.value_or("<none>"), c.ifRange) << c.key;
    EXPECT_EQ(requests[1].status, 206) << c.key;
  }
}

// A resumed transfer never joins bytes of two versions: a resource changed
// since the cut is answered whole (200) and becomes the file from its first
// byte; a 206 that starts elsewhere than asked fails that attempt, and the
// next one fetches the whole without a Range.
TEST_F(E2eParallelTest, BytesOfTwoVersionsAreNeverJoined) {
  constexpr size_t kSize = 400000;
  const std::string size = std::to_string(kSize);
  const std::string changed =
      server_.Url("/resume/changed/" + size + "?etag=%22v1%22&lm=" + kDateInQuery +
                  "&etag2=%22v2%22&lm2=" + kLaterDateInQuery + "&n=/changed.bin");
  const std::string misplaced =
      server_.Url("/resume/misplaced/" + size + "?etag=%22v1%22&badrange=1&n=/misplaced.bin");
  Prepare({changed, misplaced});
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");

  EXPECT_TRUE(ReadFile(Dated("changed")) == SecondVersion(kSize)) << "not the new version whole";
  const std::vector<LoopbackServer::Request> afterChange = server_.RequestsOf("changed");
  ASSERT_EQ(afterChange.size(), 2u);
  EXPECT_GT(RangeStart(afterChange[1].range), 0);
  EXPECT_EQ(afterChange[1].ifRange.value_or("<none>"), "\"v1\"");
  EXPECT_EQ(afterChange[1].status, 200);

  EXPECT_TRUE(ReadFile(Dated("misplaced")) == LoopbackServer::Pattern(kSize))
      << "size " << ReadFile(Dated("misplaced")).size();
  const std::vector<LoopbackServer::Request> misplacedRequests = server_.RequestsOf("misplaced");
  ASSERT_EQ(misplacedRequests.size(), 3u);
  EXPECT_GT(RangeStart(misplacedRequests[1].range), 0);
  EXPECT_EQ(misplacedRequests[1].status, 206);
  EXPECT_FALSE(misplacedRequests[2].range) << "after a 206 from the wrong place, the whole";
  EXPECT_FALSE(misplacedRequests[2].ifRange);
  EXPECT_EQ(misplacedRequests[2].status, 200);
}

// Without a strong ETag or a Last-Modified, or without Accept-Ranges: bytes,
// the retry fetches the whole and asks for no range.
TEST_F(E2eParallelTest, NoResumeWithoutAValidatorAndByteRanges) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"weak", "&etag=W/%22w1%22"},
      {"no-ranges", "&etag=%22v1%22&lm=" + std::string(kDateInQuery) + "&ranges=none"},
      {"no-validator", ""},
  };
  constexpr size_t kSize = 300000;
  Words entries;
  for (const auto& [key, query] : cases) {
    entries.push_back(server_.Url("/resume/" + key + "/" + std::to_string(kSize) + "?cut=100000" +
                                  query + "&n=/" + key + ".bin"));
  }
  Prepare(entries);
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  for (const auto& [key, query] : cases) {
    EXPECT_TRUE(ReadFile(Dated(key)) == LoopbackServer::Pattern(kSize)) << key;
    const std::vector<LoopbackServer::Request> requests = server_.RequestsOf(key);
    ASSERT_EQ(requests.size(), 2u) << key;
    EXPECT_FALSE(requests[1].range) << key << ": " << requests[1].range.value_or("");
    EXPECT_FALSE(requests[1].ifRange) << key;
    EXPECT_EQ(requests[1].status, 200) << key;
  }
}

// SIGINT while four transfers are under way, each with part of its body
// written: the program ends with 130 and leaves no temporary file, and the
// older file of one of the names is as it was.
TEST_F(E2eParallelTest, InterruptWithSeveralTransfersLeavesNothingBehind) {
  // Sent before the barrier: several of the writer's buffers, so that each
  // transfer has its temporary file for sure. The barrier never fills.
  const size_t before = 4 * fw::DiskWriter::kBufferSize;
  Words entries;
  for (int i = 0; i < 6; ++i) {
    entries.push_back(server_.Url("/gate/stop/100?timeout=600&before=" + std::to_string(before) +
                                  "&size=" + std::to_string(before + 1000) + "&n=/held" +
                                  std::to_string(i) + ".bin"));
  }
  Prepare(entries, "Parallel=4\n");
  const std::string older = Dated("held0");
  WriteFile(older, "yesterday's good copy");
  const pid_t pid = program_.Start({"-e"});
  const bool running = WaitFor([&] {
    return server_.FlowOf("stop").held == 4 && WritesATemporaryFile(pid, program_.Folder().Path());
  });
  kill(pid, SIGINT);
  const RunResult run = program_.Finish(pid);
  EXPECT_TRUE(running) << "four transfers were never under way at once; held "
                       << server_.FlowOf("stop").held << ": " << run.errors;
  EXPECT_EQ(run.status, 130) << run.errors;
  EXPECT_EQ(OtherFiles(), std::vector<std::string>{fs::path(older).filename().string()});
  EXPECT_EQ(ReadFile(older), "yesterday's good copy");
  EXPECT_LE(server_.FlowOf("stop").maxInFlight, 4);
}

// A Parallel that is not a whole number of at least 1 is said, and the run
// goes on with 6 at once.
TEST_F(E2eParallelTest, AnInvalidParallelIsSaidAndSixAreUsed) {
  constexpr int kEntries = 12;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"zero", "0"}, {"signed", "-4"}, {"word", "x"}};
  for (const auto& [key, value] : cases) {
    Prepare(GatedEntries(key, kEntries, 6), "Parallel=" + value + "\n");
    const RunResult run = program_.Run({"-e"});
    EXPECT_EQ(run.status, 0) << value << ": " << run.errors;
    EXPECT_EQ(run.errors, "fetchwell: Settings.inf: Parallel=" + value +
                              " is not valid (a whole number from 1 to 32); 6 is used\n");
    const LoopbackServer::Flow flow = server_.FlowOf(key);
    EXPECT_EQ(flow.maxInFlight, 6) << value;
    EXPECT_EQ(flow.timedOut, 0) << value;
    ExpectGatedFiles(key, kEntries);
  }
}

}  // namespace
}  // namespace fwtest
