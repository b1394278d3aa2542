#include "run/report_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/fixtures/temp_folder.h"

namespace modMain {
namespace {

using Lines = std::vector<std::string>;

Lines LinesOf(const std::string& text) {
  Lines lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

class ReportFileTest : public ::testing::Test {
 protected:
  ReportFile::Say Say() {
    return [this](const std::string& line) { said_.push_back(line); };
  }
  // Tries a whole run's lines on `path`.
  void Run(const std::string& path) {
    ReportFile report(path, Say());
    fw::SnapshotResult result;
    result.ok = true;
    report.Entry("http://h/a", "/d/a", result);
    report.Entry("http://h/b", "/d/b", result);
    report.Run(2, 0);
  }

  fwtest::TempFolder dir_;
  Lines said_;
};

TEST(ReportPathTest, RelativePathsAreInTheProgramsFolder) {
  EXPECT_EQ(ReportPath("", "/opt/fw"), "");
  EXPECT_EQ(ReportPath("/var/log/fw.jsonl", "/opt/fw"), "/var/log/fw.jsonl");
  EXPECT_EQ(ReportPath("logs/fw.jsonl", "/opt/fw"), "/opt/fw/logs/fw.jsonl");
  EXPECT_EQ(ReportPath("fw.jsonl", "/"), "/fw.jsonl");
}

// Two runs append to one file, each line whole; a new file is for its owner
// alone, an existing one keeps its mode, and a link to a file is followed.
TEST_F(ReportFileTest, RunsAppendWholeLines) {
  const std::string path = dir_ / "report.jsonl";
  const mode_t mask = umask(022);
  Run(path);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(symlink(path.c_str(), (dir_ / "link").c_str()), 0);
  Run(dir_ / "link");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(said_, Lines{});

  const Lines lines = LinesOf(fwtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 6u);
  for (size_t i : {0, 3}) {
    EXPECT_EQ(lines[i].rfind("{\"event\":\"entry\",", 0), 0u) << lines[i];
    EXPECT_NE(lines[i].find("\"url\":\"http://h/a\""), std::string::npos) << lines[i];
    EXPECT_NE(lines[i + 1].find("\"url\":\"http://h/b\""), std::string::npos) << lines[i + 1];
    EXPECT_EQ(lines[i + 2].rfind("{\"event\":\"run\",", 0), 0u) << lines[i + 2];
  }
  EXPECT_EQ(fwtest::ReadFile(path).back(), '\n');
}

TEST_F(ReportFileTest, NoPathNoReport) {
  Run("");
  EXPECT_EQ(said_, Lines{});
  EXPECT_EQ(dir_.Entries(), Lines{});
}

// What cannot hold a report is said once per run, at its start, and leaves
// no descriptor open. (The program's tests try FIFOs, with and without a
// reader.)
TEST_F(ReportFileTest, OnlyARegularFileIsWritten) {
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0700), 0);
  const std::pair<std::string, std::string> cases[] = {
      {dir_ / "folder", "not a regular file"},
      {"/dev/null", "not a regular file"},
      {dir_ / "missing/report.jsonl", "No such file or directory"},
  };
  for (const auto& [path, why] : cases) {
    said_.clear();
    const int before = fwtest::OpenDescriptors();
    Run(path);
    EXPECT_EQ(said_, Lines{"cannot write the report " + path + ": " + why});
    EXPECT_EQ(fwtest::OpenDescriptors(), before) << path;
  }
}

// A write that fails or is cut short is said once and truncated away; the
// run writes nothing more, so the file keeps whole lines only.
TEST_F(ReportFileTest, AFailedWriteIsSaidOnceAndLeavesWholeLines) {
  const std::string path = dir_ / "report.jsonl";
  const std::string line = "{\"event\":\"test\"}\n";
  // The file size limit cuts the second line short, then refuses the rest.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit small = old;
  small.rlim_cur = line.size() + 5;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  {
    ReportFile report(path, Say());
    report.Append(line);
    report.Append(line);
    report.Append(line);
    report.Run(1, 1);
  }
  setrlimit(RLIMIT_FSIZE, &old);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(said_, Lines{"cannot write the report " + path + ": " + std::strerror(EFBIG)});
  EXPECT_EQ(fwtest::ReadFile(path), line);
}

// A file left without a final line break (by another program) gets one before
// the run's first line; a lock another program keeps ends the report.
TEST_F(ReportFileTest, ACutLineIsEndedAndAForeignLockIsSaid) {
  const std::string path = dir_ / "report.jsonl";
  fwtest::WriteFile(path, "{\"cut\":");
  Run(path);
  const Lines lines = LinesOf(fwtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "{\"cut\":");
  EXPECT_EQ(lines[1].rfind("{\"event\":\"entry\",", 0), 0u) << lines[1];
  EXPECT_EQ(said_, Lines{});

  const std::string before = fwtest::ReadFile(path);
  const int holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  ReportFile report(path, Say(), std::chrono::milliseconds(0));
  report.Run(0, 0);
  report.Run(0, 0);
  close(holder);
  EXPECT_EQ(said_, Lines{"cannot write the report " + path + ": another program keeps it locked"});
  EXPECT_EQ(fwtest::ReadFile(path), before);
}

// Two runs writing at the same time never mix inside a line.
TEST_F(ReportFileTest, RunsAtTheSameTimeKeepTheirLinesWhole) {
  const std::string path = dir_ / "report.jsonl";
  const auto write = [&path](char fill) {
    ReportFile report(path, nullptr);
    for (int i = 0; i < 300; ++i) report.Append(std::string(20000, fill) + "\n");
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    write('a');
    _exit(0);
  }
  write('b');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const Lines lines = LinesOf(fwtest::ReadFile(path));
  ASSERT_EQ(lines.size(), 600u);
  for (const std::string& l : lines) {
    ASSERT_TRUE(l == std::string(20000, 'a') || l == std::string(20000, 'b'))
        << "a line mixed from two runs";
  }
}

}  // namespace
}  // namespace modMain
