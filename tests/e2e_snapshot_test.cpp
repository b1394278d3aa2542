// End-to-end: dated snapshots over several simulated days (libfaketime moves
// the program's clock): records on every file, unchanged files made from the
// last snapshot instead of fetched, the newest N kept; two entries of one
// name; a folder whose file system keeps no records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

std::string Attribute(const std::string& path, const std::string& name) {
  char value[1024];
  const ssize_t n = getxattr(path.c_str(), ("user.fetchwell." + name).c_str(), value, sizeof value);
  return n < 0 ? "<none>" : std::string(value, static_cast<size_t>(n));
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
  const std::string errors = program_ / "errors";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("none", snaps_.c_str(), "ramfs", 0, "mode=0755") != 0) {
      _exit(77);
    }
    const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    const std::string exe = program_ / "fetchwell";
    execl(exe.c_str(), exe.c_str(), "-e", nullptr);
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount ramfs here (not root?)";
  const std::string said = ReadFile(errors);
  EXPECT_EQ(WEXITSTATUS(status), 0) << said;
  EXPECT_NE(said.find("keeps no extended attributes"), std::string::npos) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

}  // namespace
}  // namespace fwtest
