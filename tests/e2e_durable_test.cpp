// End-to-end under strace: what is on the disk before the run destroys
// anything. A replaced file's data is synced before its name changes and the
// folder after; KeepCopies deletes nothing before the run's files are on the
// disk; a failed sync, link, rename or record is named by its call (strace
// makes the call fail); a disk whose writes take longer than RunTimeout (strace
// delays them) holds the run no longer than one write past it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

constexpr char kStrace[] = "/usr/bin/strace";
const Words kSyncCalls = {"-e", "trace=fdatasync,fsync,syncfs,linkat,renameat2,rename"};

ino_t Inode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class E2eDurableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kStrace, X_OK) != 0 ||
        system((std::string(kStrace) + " -qq -o /dev/null /bin/true").c_str()) != 0) {
      GTEST_SKIP() << "strace cannot trace here";
    }
    fs::create_directory(snaps_);
  }
  std::string Snap(const std::string& name) const { return snaps_ + "/" + name; }
  void Prepare(const Words& entries, const std::string& download) {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + snaps_ + "\n[Download]\nDateFormat=%F\n" + download);
  }
  Words Snapshots() const {
    Words names;
    for (const auto& entry : fs::directory_iterator(snaps_))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // A run of `fetchwell -e` under strace with `options`; its trace, one line
  // per call ("<pid> <call>(...) = <result>"), goes to trace_.
  RunResult Traced(const Words& options) {
    Words wrapper{kStrace, "-f", "-qq", "-o", trace_};
    wrapper.insert(wrapper.end(), options.begin(), options.end());
    program_.RunUnder(wrapper);
    RunResult run = program_.Run({"-e"});
    program_.RunUnder({});
    return run;
  }
  // Each thread's calls in order, one a line ("<call>(...) = <result>"): a
  // call that another thread's interrupted is joined again.
  std::map<std::string, std::string> CallsByThread() const {
    std::map<std::string, std::string> calls, unfinished;
    std::istringstream in(ReadFile(trace_));
    for (std::string line; std::getline(in, line);) {
      const size_t space = line.find(' ');
      const std::string pid = line.substr(0, space);
      line = line.substr(line.find_first_not_of(' ', space));
      if (const size_t cut = line.find(" <unfinished ...>"); cut != std::string::npos) {
        unfinished[pid] = line.substr(0, cut);
      } else if (const size_t resumed = line.find(" resumed>"); resumed != std::string::npos) {
        calls[pid] += unfinished[pid] + line.substr(resumed + 9) + "\n";
      } else {
        calls[pid] += line + "\n";
      }
    }
    return calls;
  }
  // On one thread: the link of the file as the new name `destination` refused
  // (the name is taken; its data all written), then a sync of its data
  // (fdatasync, or syncfs of its file system), the rename over the old file,
  // and a sync of the folder, each succeeding.
  void ExpectSyncedAroundRename(const std::string& destination) const {
    const std::string named = ", \"" + destination + "\"";
    bool found = false;
    for (const auto& thread : CallsByThread()) {
      const std::string& calls = thread.second;
      const size_t taken = calls.find(named + ", AT_SYMLINK_FOLLOW)");
      const size_t renamed = calls.find(named + ")", taken);
      if (taken == std::string::npos || renamed == std::string::npos) continue;
      const auto succeeded = [&](const char* call, size_t from, size_t to) {
        const size_t at = calls.find(call, from);
        return at < to && calls.compare(calls.find('\n', at + 1) - 3, 3, "= 0") == 0;
      };
      found =
          calls.find("EEXIST", taken) < calls.find('\n', taken) &&
          (succeeded("\nfdatasync(", taken, renamed) || succeeded("\nsyncfs(", taken, renamed)) &&
          succeeded("\nfsync(", renamed, calls.size());
    }
    EXPECT_TRUE(found) << destination << " not synced before and after its rename\n"
                       << ReadFile(trace_);
  }

  LoopbackServer server_;
  ProgramCopy program_;
  const std::string snaps_ = program_ / "snaps";
  const std::string trace_ = program_ / "trace";
};

// A new name is linked in with no wait; a replacement (of a download, and of
// a copy made from the unchanged basis) waits for its data, and when that sync
// fails the entry fails and the older file stays.
TEST_F(E2eDurableTest, AReplacementWaitsForItsDataAndAFailedSyncKeepsTheOlderFile) {
  const std::string fetched = server_.Url("/bytes/300000/a.bin");
  const std::string unchanged = server_.Url("/validated/50000?etag=%22v1%22&name=/b.bin");
  Prepare({fetched, unchanged}, "SkipUnchanged=1\n");
  RunResult run = Traced(kSyncCalls);
  ASSERT_EQ(run.status, 0) << run.errors;
  const Words names = Snapshots();
  ASSERT_EQ(names.size(), 2u);
  const std::string a = Snap(names[0]), b = Snap(names[1]);
  const std::string first = ReadFile(trace_);
  for (const char* sync : {"fdatasync(", "syncfs(", "fsync("}) {
    EXPECT_EQ(first.find(sync), std::string::npos) << first;
  }
  EXPECT_NE(first.find(", \"" + a + "\", AT_SYMLINK_FOLLOW)"), std::string::npos) << first;

  const ino_t oldA = Inode(a), oldB = Inode(b);
  run = Traced({"-e", "trace=fdatasync,syncfs", "-e", "inject=fdatasync,syncfs:error=EIO"});
  EXPECT_EQ(run.status, 1) << run.errors;
  const std::string failed = " durable (fdatasync: Input/output error)\n";
  EXPECT_NE(run.errors.find("fetchwell: " + fetched + ": cannot make " + a + failed),
            std::string::npos)
      << run.errors;
  EXPECT_NE(
      run.errors.find("fetchwell: " + unchanged + ": not modified, but cannot make " + b + failed),
      std::string::npos)
      << run.errors;
  EXPECT_EQ(Inode(a), oldA);
  EXPECT_EQ(Inode(b), oldB);
  EXPECT_EQ(Snapshots(), names) << "nothing left behind";

  run = Traced(kSyncCalls);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_NE(Inode(a), oldA);
  EXPECT_NE(Inode(b), oldB);
  EXPECT_EQ(ReadFile(a), LoopbackServer::Pattern(300000));
  ExpectSyncedAroundRename(a);
  ExpectSyncedAroundRename(b);
}

// KeepCopies deletes an older snapshot only once a sync of the folder's file
// system has put this run's files on the disk.
TEST_F(E2eDurableTest, RetentionDeletesNothingBeforeTheRunsFilesAreOnTheDisk) {
  const std::string url = server_.Url("/bytes/1000/c.bin");
  Prepare({url}, "KeepCopies=1\n");
  const std::string older = Snap("c-2020-01-01.bin");
  WriteFile(older, "an older snapshot");
  // A record as earlier versions set it: the URL and the time of the fetch.
  const std::string when = "1577872800";
  if (setxattr(older.c_str(), "user.fetchwell.url", url.data(), url.size(), 0) != 0 ||
      setxattr(older.c_str(), "user.fetchwell.fetched", when.data(), when.size(), 0) != 0) {
    GTEST_SKIP() << snaps_ << " keeps no extended attributes";
  }
  RunResult run = Traced({"-e", "trace=syncfs", "-e", "inject=syncfs:error=EIO"});
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_NE(run.errors.find("fetchwell: " + url + ": older snapshots in " + snaps_ +
                            " are kept: this run's files there cannot be made durable "
                            "(syncfs: Input/output error)\n"),
            std::string::npos)
      << run.errors;
  EXPECT_TRUE(fs::exists(older));

  run = Traced({"-e", "trace=syncfs"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_FALSE(fs::exists(older)) << "the same run with a sync that works deletes it";
  EXPECT_NE(ReadFile(trace_).find("syncfs("), std::string::npos);

  // A sync of the file system that failed for the replacements (each then
  // synced alone) is not told again to retention's: it keeps the older file.
  WriteFile(older, "an older snapshot");
  ASSERT_EQ(setxattr(older.c_str(), "user.fetchwell.url", url.data(), url.size(), 0), 0);
  ASSERT_EQ(setxattr(older.c_str(), "user.fetchwell.fetched", when.data(), when.size(), 0), 0);
  run = Traced({"-e", "trace=syncfs", "-e", "inject=syncfs:error=EIO:when=1"});
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_NE(run.errors.find("are kept: this run's files there cannot be made durable (an "
                            "earlier syncfs failed)\n"),
            std::string::npos)
      << run.errors;
  EXPECT_TRUE(fs::exists(older));
}

// Every write takes a second: a 16 MB file would need a minute. The run ends
// at RunTimeout (2 s) plus the write under way, with nothing put in place.
TEST_F(E2eDurableTest, ASlowDiskHoldsTheRunNoLongerThanAWritePastRunTimeout) {
  Prepare({server_.Url("/bytes/16000000/big.bin"), server_.Url("/bytes/1000/small.bin")},
          "RunTimeout=2\nParallel=1\n");
  const auto start = std::chrono::steady_clock::now();
  const RunResult run =
      Traced({"-e", "trace=write,pwrite64", "-e", "inject=write,pwrite64:delay_enter=1000000"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_LT(took, std::chrono::seconds(20)) << run.errors;
  EXPECT_NE(run.errors.find("big.bin: the run's time limit was reached"), std::string::npos)
      << run.errors;
  EXPECT_EQ(Snapshots(), Words{}) << "nothing partial, nothing in place";
}

// Finished files wait for a batch that starts the writeback of each, then
// names each. Each start takes the whole RunTimeout: none is begun past it, so
// the run is held no longer than the one under way, and no file is named late.
TEST_F(E2eDurableTest, ABatchPastRunTimeoutIsGivenUp) {
  Words entries;
  for (int i = 0; i < 12; ++i)
    entries.push_back(server_.Url("/bytes/1000/h" + std::to_string(i) + ".bin"));
  Prepare(entries, "RunTimeout=1\n");
  const RunResult run =
      Traced({"-e", "trace=sync_file_range", "-e", "inject=sync_file_range:delay_enter=1000000"});
  EXPECT_EQ(run.status, 1) << run.errors;
  const std::string trace = ReadFile(trace_);
  size_t starts = 0;
  for (size_t at = trace.find("sync_file_range("); at != std::string::npos; ++starts)
    at = trace.find("sync_file_range(", at + 1);
  EXPECT_LE(starts, 1u) << trace;
  EXPECT_NE(run.errors.find(": the run's time limit was reached"), std::string::npos) << run.errors;
  EXPECT_LE(Snapshots().size(), 1u) << "one start may end past it, nothing more";
}

// Replacements waiting for one sync each (their file system's failed) past
// RunTimeout: those not yet in place are given up, their older files kept.
TEST_F(E2eDurableTest, ReplacementsPastRunTimeoutAreGivenUp) {
  Words entries;
  for (int i = 0; i < 6; ++i)
    entries.push_back(server_.Url("/bytes/20000/g" + std::to_string(i) + ".bin"));
  Prepare(entries, "");
  ASSERT_EQ(program_.Run({"-e"}).status, 0);
  Prepare(entries, "RunTimeout=2\n");
  const auto start = std::chrono::steady_clock::now();
  const RunResult run = Traced({"-e", "trace=syncfs,fdatasync", "-e", "inject=syncfs:error=EIO",
                                "-e", "inject=fdatasync:delay_enter=3000000"});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_LT(took, std::chrono::seconds(12)) << "six syncs of 3 s each took " << run.errors;
  EXPECT_NE(run.errors.find(": the run's time limit was reached"), std::string::npos) << run.errors;
}

// What failed is named by its call: a writeback's start, a link, a rename and
// the removal of the temporary file it left, a record refused on one file of a
// folder whose file system keeps records.
TEST_F(E2eDurableTest, EachFailureIsNamedByTheCallThatFailed) {
  const std::string url = server_.Url("/bytes/1000/d.bin");
  Prepare({url}, "KeepCopies=1\n");
  struct Case {
    Words strace;
    bool replacing;  // a file of that name is there before the run
    int status;
    Words said;  // parts of the entry's line, in order; the destination between them
  };
  const std::vector<Case> cases = {
      // A file whose writeback cannot be started is not named.
      {{"-e", "trace=sync_file_range", "-e", "inject=sync_file_range:error=EIO"},
       false,
       1,
       {"cannot write ", " (sync_file_range: Input/output error)\n"}},
      {{"-e", "trace=linkat", "-e", "inject=linkat:error=EIO"},
       false,
       1,
       {"cannot put ", " in place (linkat: Input/output error)\n"}},
      {{"-e", "trace=rename,unlink", "-e", "inject=rename:error=EIO", "-e",
        "inject=unlink:error=EPERM"},
       true,
       1,
       {"cannot put ",
        " in place (rename: Input/output error); the temporary file " + snaps_ + "/.fetchwell-",
        ".tmp is left behind (unlink: Operation not permitted)\n"}},
      // After the rename: the new file is in place, and the line says so.
      {{"-e", "trace=fsync", "-e", "inject=fsync:error=EIO"},
       true,
       1,
       {"",
        " is in place, but a power cut may still undo that (fsync of the folder: "
        "Input/output error)\n"}},
      // The first call of the writer's thread: the probe after it succeeds.
      {{"-e", "trace=fsetxattr", "-e", "inject=fsetxattr:error=EOPNOTSUPP:when=1"},
       false,
       0,
       {"no record could be set on ",
        " (fsetxattr: Operation not supported): SkipUnchanged and KeepCopies do not see it\n"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(snaps_);
    fs::create_directory(snaps_);
    if (c.replacing) {
      ASSERT_EQ(program_.Run({"-e"}).status, 0);
    }
    const RunResult run = Traced(c.strace);
    EXPECT_EQ(run.status, c.status) << c.strace.back() << "\n" << run.errors;
    const std::string line = "fetchwell: " + url + ": " + c.said[0] + snaps_ + "/d-";
    size_t at = run.errors.find(line);
    EXPECT_NE(at, std::string::npos) << c.strace.back() << "\n" << run.errors;
    for (size_t i = 1; i < c.said.size() && at != std::string::npos; ++i) {
      at = run.errors.find(c.said[i], at);
      EXPECT_NE(at, std::string::npos) << c.said[i] << "\n" << run.errors;
    }
  }
}

}  // namespace
}  // namespace fwtest
