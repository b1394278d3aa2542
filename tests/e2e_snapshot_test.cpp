// End-to-end: dated snapshots over several simulated days (libfaketime moves
// the program's clock): records on every file, unchanged files made from the
// last snapshot instead of fetched, the newest N kept; two entries of one
// name; a folder whose file system keeps no records.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

// The value of `key` in the file's record, "<none>" when it has none.
std::string Attribute(const std::string& path, const std::string& key) {
  char value[8192];
  const ssize_t n = getxattr(path.c_str(), "user.fetchwell", value, sizeof value);
  if (n < 0) return "<none>";
  const std::string record(value, static_cast<size_t>(n));
  const std::string head = key + "=";
  for (size_t at = 0, end; (end = record.find('\n', at)) != std::string::npos; at = end + 1) {
    if (record.compare(at, head.size(), head) != 0) continue;
    // Values are stored with "%" and control bytes as "%XX".
    std::string decoded;
    for (size_t i = at + head.size(); i < end; ++i) {
      if (record[i] == '%' && i + 2 < end) {
        decoded += static_cast<char>(std::stoi(record.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        decoded += record[i];
      }
    }
    return decoded;
  }
  return "<none>";
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The environment of a run on `day` (a date), ten in the morning.
Environment OnDay(const std::string& day) {
  std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
  return {{"LD_PRELOAD", kFaketime},
          {"FAKETIME", "@" + day + " 10:00:00"},
          {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
          {"TZ", "UTC"},
          // The sanitizers' runtime wants to be loaded first; libfaketime is.
          {"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0"}};
}

class E2eSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kFaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed";
    fs::create_directory(snaps_);
  }
  std::string Snap(const std::string& name) const { return snaps_ + "/" + name; }
  // Runs a shell command line; true when it succeeded.
  static bool Shell(const std::string& line) { return system(line.c_str()) == 0; }
  void Prepare(const Names& entries, const std::string& download) {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + snaps_ + "\n[Download]\n" + download);
  }
  std::vector<std::string> Snapshots() const {
    Names names;
    for (const auto& entry : fs::directory_iterator(snaps_)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  LoopbackServer server_;
  ProgramCopy program_;
  const std::string snaps_ = program_ / "snaps";
};

TEST_F(E2eSnapshotTest, DaysOfSnapshotsWithUnchangedFilesAndTheNewestTwoKept) {
  // The query's last "/" gives the file its name.
  const std::string url = server_.Url("/validated/200000?etag=%22v1%22&name=/report.bin");
  Prepare({url}, "SkipUnchanged=1\nKeepCopies=2\nDateFormat=%F\n");
  // A file that only looks like a snapshot: no record, so never touched.
  WriteFile(snaps_ + "/report-2026-12-01.bin", "the user's own file");
  const std::string day1 = snaps_ + "/report-2026-12-05.bin";
  const std::string day2 = snaps_ + "/report-2026-12-06.bin";
  const std::string day3 = snaps_ + "/report-2026-12-07.bin";
  const std::string body = LoopbackServer::Pattern(200000);

  long long before = server_.Stats().bytes;
  RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(server_.Stats().bytes - before, 200000);
  EXPECT_TRUE(ReadFile(day1) == body);
  EXPECT_EQ(Attribute(day1, "url"), url);
  EXPECT_EQ(Attribute(day1, "etag"), "\"v1\"");
  const long fetched1 = std::stol(Attribute(day1, "fetched"));
  EXPECT_LT(std::labs(fetched1 - 1796464800L), 60) << "2026-12-05 10:00 UTC";

  // Unchanged: the server answers 304 and the day's file is made on the disk.
  before = server_.Stats().bytes;
  run = program_.Run({"-e"}, OnDay("2026-12-06"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(server_.Stats().bytes - before, 0) << "the body was fetched again";
  EXPECT_TRUE(ReadFile(day2) == body);
  EXPECT_NE(Inode(day2), Inode(day1)) << "each snapshot is a file of its own";
  EXPECT_EQ(Attribute(day2, "etag"), "\"v1\"");
  EXPECT_LT(std::labs(std::stol(Attribute(day2, "fetched")) - (fetched1 + 86400)), 60);

  run = program_.Run({"-e"}, OnDay("2026-12-07"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  // The newest two stay; the first day's goes; the look-alike stays.
  EXPECT_EQ(Snapshots(),
            (Names{"report-2026-12-01.bin", "report-2026-12-06.bin", "report-2026-12-07.bin"}));
  EXPECT_EQ(ReadFile(snaps_ + "/report-2026-12-01.bin"), "the user's own file");
  EXPECT_TRUE(ReadFile(day3) == body);

  // Without SkipUnchanged no condition is sent: the whole body comes again.
  Prepare({url}, "DateFormat=%F\n");
  before = server_.Stats().bytes;
  run = program_.Run({"-e"}, OnDay("2026-12-08"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(server_.Stats().bytes - before, 200000);
}

// Under Names=path a URL's own snapshots, with an extension or none, are
// found for SkipUnchanged and KeepCopies. Back under Names=url, data.gz's
// snapshots take names that data.tar.gz's fits, yet that file of another URL
// is neither counted nor deleted.
TEST_F(E2eSnapshotTest, ThePathRuleFindsItsOwnSnapshots) {
  const std::string readme = server_.Url("/validated/3000/README?etag=%22r1%22&v=1.2");
  Prepare({readme, server_.Url("/bytes/100/x/data.tar.gz")},
          "Names=path\nSkipUnchanged=1\nKeepCopies=1\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-05")).status, 0);
  const long long before = server_.Stats().bytes;
  const RunResult run = program_.Run({"-e"}, OnDay("2026-12-06"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(server_.Stats().bytes - before, 100) << "README was fetched again";
  EXPECT_EQ(Snapshots(), (Names{"README-2026-12-06", "data-2026-12-06.tar.gz"}));

  Prepare({server_.Url("/bytes/50/y/data.gz")}, "KeepCopies=1\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-07")).status, 0);
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-08")).status, 0);
  EXPECT_EQ(Snapshots(),
            (Names{"README-2026-12-06", "data-2026-12-06.tar.gz", "data-2026-12-08.gz"}));
}

// Two entries that get one name: the later wins, and one line says so; the
// run still succeeds.
TEST_F(E2eSnapshotTest, TwoEntriesOfOneNameAreReported) {
  const std::string first = server_.Url("/bytes/100/data.csv");
  const std::string second = "http://user:secret@" + server_.Url("/bytes/200/x/data.csv").substr(7);
  Prepare({first, second}, "DateFormat=%F\n");
  const RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string shown = "http://user:***@" + second.substr(strlen("http://user:secret@"));
  EXPECT_EQ(run.errors, "fetchwell: " + shown +
                            ": replaces data-2026-12-05.csv, fetched earlier in this run from " +
                            first + "\n");
  EXPECT_EQ(ReadFile(snaps_ + "/data-2026-12-05.csv"), LoopbackServer::Pattern(200));
}

// On a file system without user extended attributes (ramfs, mounted in a
// mount namespace of the run's own) files are still fetched, and one line
// says that SkipUnchanged and KeepCopies do nothing there.
TEST_F(E2eSnapshotTest, AFolderWithoutRecordsIsSaidOnceAndFetchedStill) {
  Prepare({server_.Url("/bytes/100/a.bin"), server_.Url("/bytes/100/b.bin")},
          "SkipUnchanged=1\nKeepCopies=1\nDateFormat=%F\n");
  program_.InChild([this] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("none", snaps_.c_str(), "ramfs", 0, "mode=0755") != 0) {
      _exit(77);
    }
  });
  const RunResult run = program_.Run({"-e"});
  if (run.status == 77) GTEST_SKIP() << "cannot mount ramfs here (not root?)";
  const std::string& said = run.errors;
  EXPECT_EQ(run.status, 0) << said;
  EXPECT_NE(said.find("keeps no extended attributes"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

// What users do to their folders: edit a snapshot, copy it with cp -a or
// cp --preserve=xattr, rename it to keep it, link it. None of those files is
// ever used as the basis of an unchanged day or deleted by KeepCopies.
TEST_F(E2eSnapshotTest, EditedCopiedRenamedAndLinkedFilesAreTheUsers) {
  const std::string url = server_.Url("/validated/50000?etag=%22v1%22&name=/report.bin");
  Prepare({url}, "SkipUnchanged=1\nKeepCopies=1\nDateFormat=%F\n");
  const std::string body = LoopbackServer::Pattern(50000);
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-01")).status, 0);
  ASSERT_TRUE(Shell("cp -a " + Snap("report-2026-12-01.bin") + " " +
                    Snap("report-2026-12-01-annotated.bin") + " && echo note >> " +
                    Snap("report-2026-12-01-annotated.bin")));
  ASSERT_TRUE(Shell("cp --preserve=xattr " + Snap("report-2026-12-01.bin") + " " +
                    Snap("report-copy.bin")));
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-02")).status, 0);
  ASSERT_TRUE(Shell("mv " + Snap("report-2026-12-02.bin") + " " + Snap("report-keep.bin")));
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-03")).status, 0);
  ASSERT_EQ(link(Snap("report-2026-12-03.bin").c_str(), Snap("linked.bin").c_str()), 0);
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-04")).status, 0);

  // Today's snapshot is edited in place (truncated): tomorrow's must not be a
  // copy of it, however the server answers.
  ASSERT_EQ(truncate(Snap("report-2026-12-04.bin").c_str(), 100), 0);
  long long before = server_.Stats().bytes;
  RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(server_.Stats().bytes - before, 50000) << "no condition from an edited file";
  EXPECT_TRUE(ReadFile(Snap("report-2026-12-05.bin")) == body);
  // And the day after, the good file is the basis again.
  before = server_.Stats().bytes;
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-06")).status, 0);
  EXPECT_EQ(server_.Stats().bytes - before, 0);
  EXPECT_TRUE(ReadFile(Snap("report-2026-12-06.bin")) == body);

  EXPECT_EQ(Snapshots(), (Names{"linked.bin", "report-2026-12-01-annotated.bin",
                                "report-2026-12-03.bin", "report-2026-12-04.bin",
                                "report-2026-12-06.bin", "report-copy.bin", "report-keep.bin"}));
  EXPECT_EQ(std::filesystem::file_size(Snap("report-2026-12-04.bin")), 100u) << "the edit stays";
}

// KeepCopies=2 counts only snapshots still as fetched: the newest, edited in
// place, stays as the user's and an intact older one is kept beside today's.
TEST_F(E2eSnapshotTest, AnEditedSnapshotIsNotCountedAsACopy) {
  const std::string url = server_.Url("/validated/20000?etag=%22v1%22&name=/report.bin");
  Prepare({url}, "SkipUnchanged=1\nKeepCopies=2\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-01")).status, 0);
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-02")).status, 0);
  ASSERT_TRUE(Shell("printf EDITED | dd of=" + Snap("report-2026-12-02.bin") +
                    " conv=notrunc status=none"));
  RunResult run = program_.Run({"-e"}, OnDay("2026-12-03"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Snapshots(),
            (Names{"report-2026-12-01.bin", "report-2026-12-02.bin", "report-2026-12-03.bin"}));
  run = program_.Run({"-e"}, OnDay("2026-12-04"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Snapshots(),
            (Names{"report-2026-12-02.bin", "report-2026-12-03.bin", "report-2026-12-04.bin"}));
  EXPECT_EQ(ReadFile(Snap("report-2026-12-02.bin")).substr(0, 6), "EDITED");
}

// A run with the clock a year ahead leaves a record dated in the future: it
// sorts as the oldest, and each day's new file is kept.
TEST_F(E2eSnapshotTest, ARecordFromTheFutureNeverWins) {
  Prepare({server_.Url("/bytes/300/data.csv")}, "KeepCopies=1\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2027-12-05")).status, 0);
  RunResult run = program_.Run({"-e"}, OnDay("2026-12-06"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Snapshots(), (Names{"data-2026-12-06.csv"}));
  run = program_.Run({"-e"}, OnDay("2026-12-07"));
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Snapshots(), (Names{"data-2026-12-07.csv"}));
}

// Two URLs that give one name: the first's file is replaced today, so its
// snapshot of yesterday is all it has and is kept.
TEST_F(E2eSnapshotTest, AReplacedEntryKeepsItsLastSnapshot) {
  const std::string first = server_.Url("/bytes/100/data.csv");
  const std::string second = server_.Url("/bytes/200/x/data.csv");
  Prepare({first}, "KeepCopies=1\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-05")).status, 0);
  Prepare({first, second}, "KeepCopies=1\nDateFormat=%F\n");
  const RunResult run = program_.Run({"-e"}, OnDay("2026-12-06"));
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Snapshots(), (Names{"data-2026-12-05.csv", "data-2026-12-06.csv"}));
  EXPECT_EQ(ReadFile(Snap("data-2026-12-05.csv")), LoopbackServer::Pattern(100));
  EXPECT_EQ(ReadFile(Snap("data-2026-12-06.csv")), LoopbackServer::Pattern(200));
}

// Records never fail a fetch: a URL of over 4,000 bytes (more than an ext4
// block of attributes), and a long ETag on the unchanged path.
TEST_F(E2eSnapshotTest, LongUrlsAndValidatorsNeverFailAFetch) {
  const std::string longUrl =
      server_.Url("/bytes/100?pad=" + std::string(4100, 'p') + "&n=/long.bin");
  const std::string longTag =
      server_.Url("/validated/100?etag=%22" + std::string(1500, 't') + "%22&name=/tag.bin");
  Prepare({longUrl}, "DateFormat=%F\n");
  RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(ReadFile(Snap("long-2026-12-05.bin")), LoopbackServer::Pattern(100));
  EXPECT_EQ(Attribute(Snap("long-2026-12-05.bin"), "url"), "<none>") << "kept by its SHA-256";
  EXPECT_EQ(Attribute(Snap("long-2026-12-05.bin"), "url-sha256").size(), 64u);
  Prepare({longUrl, longTag}, "SkipUnchanged=1\nKeepCopies=1\nDateFormat=%F\n");
  for (const char* day : {"2026-12-06", "2026-12-07"}) {
    run = program_.Run({"-e"}, OnDay(day));
    EXPECT_EQ(run.status, 0) << day << ": " << run.errors;
    EXPECT_EQ(run.errors, "") << day;
    EXPECT_EQ(ReadFile(Snap(std::string("tag-") + day + ".bin")), LoopbackServer::Pattern(100));
  }
}

// A value that is not valid is said, once per run, with the default used.
TEST_F(E2eSnapshotTest, InvalidSettingsAreSaid) {
  Prepare({server_.Url("/bytes/10/a.bin")},
          "KeepCopies=+1\nSkipUnchanged=true\nRetries=1 ; one\nDateFormat=%F\n");
  const RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  EXPECT_EQ(run.status, 0) << run.errors;
  for (const char* said : {"KeepCopies=+1 is not valid", "SkipUnchanged=true is not valid",
                           "Retries=1 ; one is not valid"}) {
    EXPECT_NE(run.errors.find("fetchwell: Settings.inf: " + std::string(said)), std::string::npos)
        << run.errors;
  }
  EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 3) << run.errors;
}

// RunTimeout ends a run that a server keeps alive by sending a byte now and
// then (which StallTimeout never stops): the entry under way and those after
// it fail, and the older file stays as it was. One entry at a time, the entry
// after the drip never begins; side by side (the default), it is fetched
// meanwhile and only the drip fails.
TEST_F(E2eSnapshotTest, RunTimeoutEndsARunKeptAliveByADrip) {
  const std::string drip = server_.Url("/drip/600?every=1&n=/slow.bin");
  const std::string after = server_.Url("/bytes/10/after.bin");
  Prepare({drip, after}, "RunTimeout=2\nDateFormat=%F\n");
  WriteFile(Snap("slow-2026-12-05.bin"), "yesterday's good file");
  const RunResult both = program_.Run({"-e"}, OnDay("2026-12-05"));
  EXPECT_EQ(both.status, 1) << both.errors;
  EXPECT_EQ(both.errors, "fetchwell: " + drip + ": the run's time limit was reached\n" +
                             "fetchwell: 1 of 2 entries failed\n");
  EXPECT_EQ(ReadFile(Snap("slow-2026-12-05.bin")), "yesterday's good file");
  EXPECT_EQ(ReadFile(Snap("after-2026-12-05.bin")), LoopbackServer::Pattern(10));
  std::filesystem::remove(Snap("after-2026-12-05.bin"));

  Prepare({drip, after}, "RunTimeout=2\nDateFormat=%F\nParallel=1\n");
  WriteFile(Snap("slow-2026-12-05.bin"), "yesterday's good file");
  const RunResult run = program_.Run({"-e"}, OnDay("2026-12-05"));
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(run.errors, "fetchwell: " + drip + ": the run's time limit was reached\n" +
                            "fetchwell: " + after + ": the run's time limit was reached\n" +
                            "fetchwell: 2 of 2 entries failed\n");
  EXPECT_EQ(ReadFile(Snap("slow-2026-12-05.bin")), "yesterday's good file");
  EXPECT_FALSE(std::filesystem::exists(Snap("after-2026-12-05.bin")));
}

// A 304 that names another ETag than the one asked about says nothing of the
// copy there is: the file is fetched whole, never the old bytes recorded
// under the new ETag.
TEST_F(E2eSnapshotTest, A304AboutAnotherVersionIsNotUnchanged) {
  const std::string url = server_.Url("/other-304/3000?etag=%22v1%22&other=%22v2%22&n=/a.bin");
  Prepare({url}, "SkipUnchanged=1\nDateFormat=%F\n");
  ASSERT_EQ(program_.Run({"-e"}, OnDay("2026-12-05")).status, 0);
  for (const char* day : {"2026-12-06", "2026-12-07"}) {
    const long long before = server_.Stats().bytes;
    const RunResult run = program_.Run({"-e"}, OnDay(day));
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(server_.Stats().bytes - before, 3000) << day;
    EXPECT_EQ(Attribute(Snap(std::string("a-") + day + ".bin"), "etag"), "\"v1\"") << day;
  }
}

}  // namespace
}  // namespace fwtest
