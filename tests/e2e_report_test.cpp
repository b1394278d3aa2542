// End-to-end: the report file of Settings.inf's [Download] ReportFile, and the
// line that counts a run's failures, from the built fetchwell against the
// loopback server. Every report is read by Python's strict JSON parser.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

using Words = std::vector<std::string>;
using Row = std::vector<std::string>;

// Reads a report file strictly (each line whole, valid UTF-8 and JSON, no key
// twice, the fields of its kind in their order and of their types) and prints
// one row a line, tab-separated: for an entry its fields after "time" as JSON,
// for the run its counts. Exits non-zero, naming the fault, on anything else.
constexpr char kChecker[] = R"(
import json, re, sys
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\Z")
ENTRY = ["event", "time", "url", "file", "ok", "http_status", "bytes", "attempts", "unchanged",
         "reason"]
RUN = ["event", "started", "ended", "entries", "failed", "status"]
def once(pairs):
    if len({k for k, _ in pairs}) != len(pairs):
        raise ValueError("a key twice")
    return dict(pairs)
def refuse(word):
    raise ValueError("not JSON: " + word)
def whole(v):
    return type(v) is int and v >= 0
data = open(sys.argv[1], "rb").read()
if data and not data.endswith(b"\n"):
    sys.exit("the last line is cut")
for raw in data.split(b"\n")[:-1]:
    def need(ok, what):
        if not ok:
            sys.exit(what + ": " + repr(raw))
    line = json.loads(raw.decode("utf-8"), object_pairs_hook=once, parse_constant=refuse)
    need(type(line) is dict, "not an object")
    if line.get("event") == "entry":
        need(list(line) == ENTRY, "fields")
        need(TIME.match(line["time"]), "time")
        need(type(line["ok"]) is bool and type(line["unchanged"]) is bool, "booleans")
        need(line["http_status"] is None or (whole(line["http_status"]) and line["http_status"] > 0),
             "status")
        need(whole(line["bytes"]) and whole(line["attempts"]), "counts")
        need((line["reason"] is None) == line["ok"], "reason")
        need(line["reason"] is None or type(line["reason"]) is str, "reason")
        print("\t".join(["entry"] + [json.dumps(line[k]) for k in ENTRY[2:]]))
    else:
        need(list(line) == RUN and line["event"] == "run", "fields")
        need(TIME.match(line["started"]) and TIME.match(line["ended"]), "times")
        need(line["started"] <= line["ended"], "ended before it started")
        need(all(whole(line[k]) for k in RUN[3:]), "counts")
        need(line["status"] == (1 if line["failed"] else 0), "status")
        print("\t".join(["run"] + [str(line[k]) for k in RUN[3:]]))
)";

Row Split(const std::string& line) {
  Row row;
  size_t at = 0;
  for (size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1) {
    row.push_back(line.substr(at, tab - at));
  }
  row.push_back(line.substr(at));
  return row;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// An entry's row as the checker prints it; `reason` "null" or the quoted text.
Row EntryRow(const std::string& url, const std::string& file, bool ok, const std::string& status,
             int bytes, int attempts, bool unchanged = false) {
  return {"entry",
          Quoted(url),
          Quoted(file),
          ok ? "true" : "false",
          status,
          std::to_string(bytes),
          std::to_string(attempts),
          unchanged ? "true" : "false"};
}

class E2eReportTest : public ::testing::Test {
 protected:
  // Writes the list, and "Settings.inf" with the program's folder as
  // FolderPath and `download` as section "Download".
  void Prepare(const Words& entries, const std::string& download) {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + program_.Folder().Path() + "\n[Download]\n" + download);
  }
  std::string Dated(const std::string& stem, const std::string& extension) const {
    return program_ / (stem + "-" + today_ + "." + extension);
  }
  // The report's rows, read strictly; a fault fails the test.
  std::vector<Row> Rows(const std::string& report) {
    const RunResult check = RunToEnd(FETCHWELL_PYTHON3, {"-c", kChecker, report});
    EXPECT_EQ(check.status, 0) << check.output << check.errors;
    std::vector<Row> rows;
    for (const std::string& line : LinesOf(check.output)) rows.push_back(Split(line));
    return rows;
  }

  LoopbackServer server_;
  ProgramCopy program_;
  TempFolder scratch_;
  const std::string today_ = TodayInTheCLocale();
};

// Two runs append to one report (named relative to the program's folder):
// each entry in list order with what became of it, then the run; a password
// in a URL, also one the URL parser cannot take, never reaches the file.
TEST_F(E2eReportTest, TwoRunsAppendToOneReport) {
  const std::string host = "127.0.0.1:" + std::to_string(server_.Port());
  const std::string cut = "http://user:qq7/zz8@" + host + "/x.bin";
  const std::string login = "http://user:Zq9secret@" + host + "/bytes/50/e.bin";
  const Words entries = {server_.Url("/bytes/1000/a.bin"),
                         server_.Url("/status/404/b.bin"),
                         "",
                         server_.Url("/flaky/report/300/c.bin?fails=1"),
                         cut,
                         login};
  Prepare(entries, "ReportFile=report.jsonl\n");

  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const RunResult result = program_.Run({"-e"});
    EXPECT_EQ(result.status, 1) << result.errors;
    const auto lines = LinesOf(result.errors);
    ASSERT_EQ(lines.size(), 3u) << result.errors;
    EXPECT_EQ(lines[2], "fetchwell: 2 of 5 entries failed") << "the last line counts them";
  }

  const std::string report = program_ / "report.jsonl";
  const std::string bytes = ReadFile(report);
  for (const char* secret : {"Zq9secret", "qq7", "zz8"}) {
    EXPECT_EQ(bytes.find(secret), std::string::npos) << bytes;
  }
  const std::vector<Row> rows = Rows(report);
  ASSERT_EQ(rows.size(), 12u) << bytes;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run + 1));
    const Row* row = &rows[6 * run];
    const auto check = [&row](const Row& expected, const std::string& reason) {
      ASSERT_EQ(row->size(), expected.size() + 1);
      EXPECT_EQ(Row(row->begin(), row->end() - 1), expected);
      if (reason.empty()) {
        EXPECT_EQ(row->back(), "null");
      } else {
        EXPECT_EQ(row->back().rfind("\"" + reason, 0), 0u) << row->back();
      }
      ++row;
    };
    check(EntryRow(entries[0], Dated("a", "bin"), true, "200", 1000, 1), "");
    check(EntryRow(entries[1], Dated("b", "bin"), false, "404", 0, 1), "HTTP 404");
    // The first request of the run before is the only one refused.
    check(EntryRow(entries[3], Dated("c", "bin?fails=1"), true, "200", 300, run == 0 ? 2 : 1), "");
    ASSERT_EQ(row->size(), 9u);
    EXPECT_EQ((*row)[1], Quoted("http://user:***@" + host + "/x.bin"));
    EXPECT_EQ((*row)[2], Quoted(Dated("x", "bin")));
    EXPECT_EQ((*row)[3], "false");
    EXPECT_EQ((*row)[4], "null") << "no answer, no status";
    EXPECT_EQ((*row)[8], "\"malformed URL\"");
    ++row;
    check(EntryRow("http://user:***@" + host + "/bytes/50/e.bin", Dated("e", "bin"), true, "200",
                   50, 1),
          "");
    EXPECT_EQ(*row, (Row{"run", "5", "2", "1"}));
  }
}

// A day on which nothing changed: the second run's file is made from the
// first's after a 304, and says so. Runs without failures add no line, and a
// run with nothing to fetch still leaves its line.
TEST_F(E2eReportTest, UnchangedFilesAndRunsWithoutFailures) {
  const std::string url = server_.Url("/validated/500?etag=%22v1%22&name=/r.bin");
  const std::string report = scratch_ / "runs.jsonl";
  Prepare({url}, "SkipUnchanged=1\nReportFile=" + report + "\n");
  for (int run = 1; run <= 2; ++run) {
    const RunResult result = program_.Run({"-e"});
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
  }
  Prepare({"", ""}, "ReportFile=" + report + "\n");
  const RunResult empty = program_.Run({"-e"});
  EXPECT_EQ(empty.status, 0) << empty.errors;
  EXPECT_EQ(empty.errors, "");

  const std::vector<Row> rows = Rows(report);
  ASSERT_EQ(rows.size(), 5u) << ReadFile(report);
  const std::string file = Dated("r", "bin");
  Row first = EntryRow(url, file, true, "200", 500, 1);
  first.push_back("null");
  EXPECT_EQ(rows[0], first);
  EXPECT_EQ(rows[1], (Row{"run", "1", "0", "0"}));
  Row unchanged = EntryRow(url, file, true, "304", 500, 1, true);
  unchanged.push_back("null");
  EXPECT_EQ(rows[2], unchanged);
  EXPECT_EQ(rows[3], (Row{"run", "1", "0", "0"}));
  EXPECT_EQ(rows[4], (Row{"run", "0", "0", "0"}));
}

// A report that cannot be written (a folder, a FIFO with or without a reader,
// a folder that does not exist) is one line at the run's start, whatever the
// number of entries; the run goes on, and its status is its own.
TEST_F(E2eReportTest, AReportThatCannotBeWrittenIsSaidOnce) {
  ASSERT_EQ(mkdir((program_ / "folder").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((program_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((program_ / "read-fifo").c_str(), 0600), 0);
  const int reader = open((program_ / "read-fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  const std::string good = server_.Url("/bytes/100/good.bin");
  const std::string other = server_.Url("/bytes/200/other.bin");
  const std::string bad = server_.Url("/status/404/bad.bin");
  const std::pair<std::string, std::string> cases[] = {
      {program_ / "folder", "not a regular file"},
      {"fifo", "not a regular file"},
      {program_ / "read-fifo", "not a regular file"},
      {"missing/report.jsonl", "No such file or directory"},
  };
  for (const auto& [setting, why] : cases) {
    SCOPED_TRACE(setting);
    const std::string path = setting[0] == '/' ? setting : program_ / setting;
    const std::string said = "fetchwell: cannot write the report " + path + ": " + why;

    Prepare({good, other}, "ReportFile=" + setting + "\n");
    RunResult run = program_.Run({"-e"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.errors, said + "\n");

    Prepare({good, bad, other}, "ReportFile=" + setting + "\n");
    run = program_.Run({"-e"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LinesOf(run.errors),
              (std::vector<std::string>{said, "fetchwell: " + bad + ": HTTP 404",
                                        "fetchwell: 1 of 3 entries failed"}));
  }
  char byte;
  EXPECT_EQ(read(reader, &byte, 1), 0) << "the FIFO got something";
  close(reader);
  EXPECT_EQ(ReadFile(Dated("good", "bin")), LoopbackServer::Pattern(100));
}

// On a full disk (here a file size limit, as `ulimit -f` sets) the report
// loses the line that does not fit, never a part of one: the run says so once
// and goes on, a file too big for the disk fails alone, and the next run's
// lines follow whole ones. Each entry's status is its own answer's: none for
// a file:// entry, nor for a host that refuses the connection.
TEST_F(E2eReportTest, AFullDiskLeavesWholeLinesAndEachEntryItsOwnStatus) {
  const std::string source = scratch_ / "source.bin";
  WriteFile(source, LoopbackServer::Pattern(60));
  const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/c.bin";
  // One transfer at a time: each entry after the first takes over a used handle.
  const Words entries = {server_.Url("/bytes/80/a.bin"), refused, "file://" + source,
                         server_.Url("/bytes/1000/big.bin")};
  Prepare(entries, "Parallel=1\nRetries=0\nReportFile=report.jsonl\n");
  const std::string report = program_ / "report.jsonl";
  std::string earlier;
  for (int i = 0; i < 2; ++i) {
    earlier +=
        "{\"event\":\"run\",\"started\":\"2026-12-08T06:30:05Z\",\"ended\":"
        "\"2026-12-08T06:30:09Z\",\"entries\":0,\"failed\":0,\"status\":0}\n";
  }
  WriteFile(report, earlier);
  // Room for the small files fetched, not for an entry's line.
  program_.LimitFileSize(static_cast<long>(earlier.size()) + 100);
  RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1);
  const auto lines = LinesOf(run.errors);
  ASSERT_EQ(lines.size(), 4u) << run.errors;
  EXPECT_EQ(lines[0], "fetchwell: cannot write the report " + report + ": " + strerror(EFBIG));
  EXPECT_EQ(lines[1].rfind("fetchwell: " + refused + ": ", 0), 0u) << lines[1];
  EXPECT_NE(lines[2].find(entries[3] + ": cannot write"), std::string::npos) << lines[2];
  EXPECT_EQ(lines[3], "fetchwell: 2 of 4 entries failed");
  EXPECT_EQ(ReadFile(report), earlier);
  EXPECT_EQ(ReadFile(Dated("a", "bin")), LoopbackServer::Pattern(80));
  for (const std::string& name : program_.Folder().Entries()) {
    EXPECT_TRUE(name[0] != '.' && name.find("big") == std::string::npos) << name << " was left";
  }

  program_.LimitFileSize(-1);
  run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(LinesOf(run.errors).size(), 2u) << run.errors;
  const std::vector<Row> rows = Rows(report);
  const size_t before = LinesOf(earlier).size();
  ASSERT_EQ(rows.size(), before + 5) << ReadFile(report);
  Row fetched = EntryRow(entries[0], Dated("a", "bin"), true, "200", 80, 1);
  Row copied = EntryRow(entries[2], Dated("source", "bin"), true, "null", 60, 1);
  Row big = EntryRow(entries[3], Dated("big", "bin"), true, "200", 1000, 1);
  for (Row* row : {&fetched, &copied, &big}) row->push_back("null");
  EXPECT_EQ(rows[before], fetched);
  ASSERT_EQ(rows[before + 1].size(), 9u);
  EXPECT_EQ(Row(rows[before + 1].begin(), rows[before + 1].begin() + 5),
            (Row{"entry", Quoted(refused), Quoted(Dated("c", "bin")), "false", "null"}));
  EXPECT_EQ(rows[before + 2], copied);
  EXPECT_EQ(rows[before + 3], big);
  EXPECT_EQ(rows[before + 4], (Row{"run", "4", "1", "1"}));
}

}  // namespace
}  // namespace fwtest
