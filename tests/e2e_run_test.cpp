// End-to-end: the built fetchwell, copied into a folder of its own, run with
// hand-made data files against a real HTTP server on loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "fetch/disk_writer.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/sanitizers.h"

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

int64_t ModifiedNs(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
}

// What the folder holds besides the program and its data files.
std::vector<std::string> OtherFiles(const TempFolder& folder) {
  std::vector<std::string> names;
  for (const auto& name : folder.Entries()) {
    if (name != "fetchwell" && name != "fetchwell-window.so" && name != "Files.dat" &&
        name != "Settings.inf") {
      names.push_back(name);
    }
  }
  return names;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class E2eRunTest : public ::testing::Test {
 protected:
  // Writes the list and, unless `settings` is null, "Settings.inf" with the
  // program's folder as FolderPath followed by `settings`.
  void Prepare(const Words& entries, const char* settings = "") {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    if (settings) {
      WriteFile(program_ / "Settings.inf",
                "[General]\nFolderPath=" + program_.Folder().Path() + "\n" + settings);
    }
  }
  std::string Dated(const std::string& stem, const std::string& extension) const {
    return program_ / (stem + "-" + today_ + "." + extension);
  }

  LoopbackServer server_;
  ProgramCopy program_;
  const std::string today_ = TodayInTheCLocale();
};

TEST_F(E2eRunTest, RoadOfOneRun) {
  // Each body arrives in two parts a tenth of a second apart, so that the
  // files' times tell the order in which they were fetched: one after the
  // other, in list order, with Parallel=1.
  Prepare({"", server_.Url("/slow/1500/dir/report.pdf"), server_.Url("/slow/1600/a.tar.gz"), "",
           server_.Url("/slow/1700/README"), server_.Url("/slow/1800/dir/")},
          "[Download]\nParallel=1\n");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");

  const std::vector<std::pair<std::string, size_t>> expected = {
      {Dated("report", "pdf"), 1500},
      {Dated("a", "gz"), 1600},
      {Dated("", "README"), 1700},
      {Dated("", ""), 1800},
  };
  for (const auto& [path, size] : expected) {
    EXPECT_EQ(ReadFile(path), LoopbackServer::Pattern(size)) << path;
  }
  for (size_t i = 1; i < expected.size(); ++i) {
    EXPECT_LT(ModifiedNs(expected[i - 1].first), ModifiedNs(expected[i].first))
        << "fetched out of list order: " << expected[i].first;
  }
  EXPECT_EQ(server_.Stats().requests, 4) << "empty entries are skipped";
  EXPECT_EQ(OtherFiles(program_.Folder()).size(), expected.size());
}

TEST_F(E2eRunTest, CommandLineWords) {
  Prepare({server_.Url("/bytes/10/a.txt"), server_.Url("/bytes/20/b.txt")});
  struct Case {
    Words words;
    int requests;  // per entry
    int status;
    std::string said = "";  // the line about an unknown option, if any
  };
  const std::vector<Case> cases = {
      {{"-E"}, 1, 0},
      {{"x", "-e", "y"}, 1, 0},
      {{"-e", "-e"}, 2, 0},
      {{"-s", "-e"}, 1, 0},
      {{"-e -e"}, 2, 0},
      {{"-e", "-s"}, 0, 2},
      {{}, 0, 2},
      {{"-e  -s"}, 0, 2},
      {{"-e,-s"}, 0, 2, "fetchwell: unknown option -e,-s ignored; see --help\n"},
      {{"-x", "-e"}, 1, 0, "fetchwell: unknown option -x ignored; see --help\n"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& w : c.words) shown += "[" + w + "]";
    const int before = server_.Stats().requests;
    const RunResult run = program_.Run(c.words);
    EXPECT_EQ(run.status, c.status) << shown << ": " << run.errors;
    EXPECT_EQ(server_.Stats().requests - before, 2 * c.requests) << shown;
    EXPECT_EQ(run.errors.substr(0, c.said.size()), c.said) << shown;
    const std::string rest = run.errors.substr(std::min(c.said.size(), run.errors.size()));
    if (c.status == 2) {
      EXPECT_EQ(Lines(rest), 1u) << shown << ": " << run.errors;
      EXPECT_EQ(rest.rfind("fetchwell: cannot show the window: ", 0), 0u) << run.errors;
    } else {
      EXPECT_EQ(rest, "") << shown;
      EXPECT_EQ(ReadFile(Dated("b", "txt")), LoopbackServer::Pattern(20)) << shown;
    }
  }
}

// Neither data file nor window module: a run needs only the executable.
TEST_F(E2eRunTest, FirstStartWithoutDataFiles) {
  const ProgramCopy bare(false);
  const RunResult run = bare.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(ReadFile(bare / "Files.dat"), "");
  EXPECT_FALSE(fs::exists(bare / "Settings.inf"));
}

TEST_F(E2eRunTest, WithoutAFolderPathFilesGoBesideTheProgram) {
  Prepare({server_.Url("/bytes/300/data.csv")}, nullptr);
  WriteFile(program_ / "Settings.inf", "[Download]\nStallTimeout=5\n");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(ReadFile(Dated("data", "csv")), LoopbackServer::Pattern(300));
}

TEST_F(E2eRunTest, FailedEntriesAreReportedAndTheRunGoesOn) {
  const std::string secret = server_.Url("/status/404/x.bin");
  const std::string withPassword = "http://user:secret@" + secret.substr(strlen("http://"));
  const std::string refused = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/y.bin";
  // Stalls far longer than the time allowed below: only StallTimeout ends it.
  const std::string stalled = server_.Url("/stall/300?after=100");
  Prepare({server_.Url("/bytes/100/first.bin"), withPassword, refused, stalled,
           server_.Url("/bytes/200/last.bin")},
          "[Download]\nConnectTimeout=5\nStallTimeout=1\nRetries=0\n");
  WriteFile(Dated("x", "bin"), "yesterday's good copy");

  const auto started = std::chrono::steady_clock::now();
  const RunResult run = program_.Run({"-e"});
  // Without StallTimeout=1 the stall would last 60 s (the default).
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30))
      << "StallTimeout=1 was not used";
  EXPECT_EQ(run.status, 1) << run.errors;

  EXPECT_EQ(run.errors.find("secret"), std::string::npos) << run.errors;
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = run.errors.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(run.errors.substr(at, end - at));
  }
  const std::string masked = "http://user:***@" + secret.substr(strlen("http://"));
  ASSERT_EQ(lines.size(), 4u) << run.errors;
  EXPECT_EQ(lines[0], "fetchwell: " + masked + ": HTTP 404");
  EXPECT_EQ(lines[1].rfind("fetchwell: " + refused + ": ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("fetchwell: " + stalled + ": ", 0), 0u) << lines[2];
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_GT(lines[i].size(), lines[i].rfind(": ") + 2) << "no reason given";
  }
  EXPECT_EQ(lines[3], "fetchwell: 3 of 5 entries failed");

  EXPECT_EQ(ReadFile(Dated("first", "bin")), LoopbackServer::Pattern(100));
  EXPECT_EQ(ReadFile(Dated("last", "bin")), LoopbackServer::Pattern(200));
  EXPECT_EQ(ReadFile(Dated("x", "bin")), "yesterday's good copy");
  EXPECT_EQ(OtherFiles(program_.Folder()).size(), 3u) << "no temporary file is left";
}

// A reader of standard error that has gone (`fetchwell -e 2>&1 | head -1`
// once head has its line) must not end the run at the next failure's line.
TEST_F(E2eRunTest, RunGoesOnWhenTheReaderOfItsErrorsHasGone) {
  Prepare({server_.Url("/status/404/a.bin"), server_.Url("/status/500/b.bin"),
           server_.Url("/bytes/100/c.bin")});
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  close(pipeFds[0]);
  program_.InChild([fd = pipeFds[1]] { dup2(fd, 2); });
  EXPECT_EQ(program_.Run({"-e"}).status, 1) << "141: ended by SIGPIPE";
  close(pipeFds[1]);
  EXPECT_EQ(ReadFile(Dated("c", "bin")), LoopbackServer::Pattern(100));
}

TEST_F(E2eRunTest, DamagedListFileEndsTheProgram) {
  const std::string damaged("\xff\xff\xff\x7f\x00\x00", 6);
  WriteFile(program_ / "Files.dat", damaged);
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(Lines(run.errors), 1u) << run.errors;
  EXPECT_EQ(run.errors.rfind("fetchwell: error 321: ", 0), 0u) << run.errors;
  EXPECT_NE(run.errors.find(program_ / "Files.dat"), std::string::npos) << run.errors;
  EXPECT_EQ(ReadFile(program_ / "Files.dat"), damaged);
}

// A list file that is not a plain file ends the program at once with a line
// naming it: nothing blocks on a FIFO, reads a device for ever, loops on a
// link to nothing or reads in a huge sparse file.
TEST_F(E2eRunTest, ListFileThatIsNotAPlainFileEndsTheProgramAtOnce) {
  const std::string list = program_ / "Files.dat";
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      {"symbolic link to a file that does not exist",
       [&] { ASSERT_EQ(symlink("nowhere/Files.dat", list.c_str()), 0); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(list.c_str(), 0600), 0); }},
      {"a character device", [&] { ASSERT_EQ(symlink("/dev/zero", list.c_str()), 0); }},
      {"larger than", [&] {
         WriteFile(list, "");
         ASSERT_EQ(truncate(list.c_str(), off_t{64} << 30), 0);
       }}};
  for (const auto& [says, make] : cases) {
    fs::remove(list);
    make();
    const auto started = std::chrono::steady_clock::now();
    const RunResult run = program_.Run({"-e"});
    // Far less than reading a device or a huge file would take; a run that
    // blocks for ever is ended by Run()'s own limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << says;
    EXPECT_EQ(run.status, 2) << says;
    EXPECT_EQ(Lines(run.errors), 1u) << run.errors;
    EXPECT_EQ(run.errors.rfind("fetchwell: error 75: ", 0), 0u) << run.errors;
    EXPECT_NE(run.errors.find(list), std::string::npos) << run.errors;
    EXPECT_NE(run.errors.find(says), std::string::npos) << run.errors;
  }
  fs::remove(list);
}

// A user and password in a URL appear in no file name and no line, progress
// line included, whether the fetch succeeds or fails.
TEST_F(E2eRunTest, NoPasswordInANameOrALine) {
  const auto withPassword = [](const std::string& url) {
    return "http://user:secret@" + url.substr(strlen("http://"));
  };
  const std::string refused = "127.0.0.1:" + std::to_string(UnusedPort());
  Prepare({withPassword(server_.Url("/bytes/10/data.bin")), withPassword(server_.Url("")),
           withPassword("http://" + refused)},
          "[Download]\nRetries=0\n");
  const RunResult run = program_.Run({"-e"}, {}, true);
  EXPECT_EQ(run.status, 1) << run.errors;
  EXPECT_EQ(run.errors.find("secret"), std::string::npos) << run.errors;
  EXPECT_NE(run.errors.find("user:***@" + refused), std::string::npos) << run.errors;
  EXPECT_EQ(ReadFile(Dated("data", "bin")), LoopbackServer::Pattern(10));
  // A URL with no path is named after its host and port alone.
  EXPECT_EQ(ReadFile(Dated("127", "1:" + std::to_string(server_.Port()))), "root\n");
  for (const std::string& name : OtherFiles(program_.Folder())) {
    EXPECT_EQ(name.find("secret"), std::string::npos) << name;
  }
}

// A password holding an unencoded "/", "?" or "#" makes a URL the parser
// refuses; no part of it is printed, on the progress line or after.
TEST_F(E2eRunTest, NoPartOfAPasswordCutShortIsPrinted) {
  const std::string host = "127.0.0.1:" + std::to_string(server_.Port());
  const std::vector<std::string> passwords = {"qq7/zz8", "qq7?zz8", "qq7#zz8"};
  Words entries;
  for (const std::string& password : passwords) {
    entries.push_back("http://user:" + password + "@" + host + "/x.bin");
  }
  Prepare(entries, "[Download]\nRetries=0\n");
  const RunResult run = program_.Run({"-e"}, {}, true);
  EXPECT_EQ(run.status, 1) << run.errors;
  for (const char* part : {"qq7", "zz8"}) {
    EXPECT_EQ(run.errors.find(part), std::string::npos) << run.errors;
  }
  const std::string line = "fetchwell: http://user:***@" + host + "/x.bin: malformed URL\r\n";
  size_t said = 0;
  for (size_t at = run.errors.find(line); at != std::string::npos;
       at = run.errors.find(line, at + 1)) {
    ++said;
  }
  EXPECT_EQ(said, passwords.size()) << run.errors;
  EXPECT_NE(run.errors.find("  x.bin"), std::string::npos)
      << "named after the path: " << run.errors;
  EXPECT_EQ(server_.Stats().requests, 0);
  EXPECT_EQ(OtherFiles(program_.Folder()), std::vector<std::string>{});
}

// Files made ahead never take the descriptors the run's connections need, and
// a run allowed too few to connect at all says so.
TEST_F(E2eRunTest, ADescriptorShortageIsNamed) {
  // Four servers, each entry on the next: the run keeps a connection to each.
  LoopbackServer second, third, fourth;
  const std::vector<const LoopbackServer*> servers = {&server_, &second, &third, &fourth};
  Words entries;
  for (int i = 0; i < 12; ++i) {
    entries.push_back(servers[i % 4]->Url("/bytes/" + std::to_string(100 + i) + "/f" +
                                          std::to_string(i) + ".bin"));
  }
  Prepare(entries);
  program_.LimitDescriptors(16);
  RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(ReadFile(Dated("f" + std::to_string(i), "bin")), LoopbackServer::Pattern(100 + i))
        << i;
  }

  if (kUnderSanitizers) GTEST_SKIP() << "the sanitizers need descriptors of their own";
  WriteFile(Dated("f0", "bin"), "kept");
  // Enough for the list to be read under its folder's lock (two descriptors at
  // once) beside a descriptor the test's runner may leave open, too few for
  // any transfer. Whether ~/.netrc could still be opened depends on that one.
  program_.LimitDescriptors(6);
  run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1) << run.errors;
  const bool netrcSaid =
      run.errors.find(".netrc cannot be read (too many open files)") != std::string::npos;
  EXPECT_EQ(Lines(run.errors), entries.size() + 1 + netrcSaid) << run.errors;
  EXPECT_NE(run.errors.find("fetchwell: 12 of 12 entries failed\n"), std::string::npos)
      << run.errors;
  for (const std::string& entry : entries) {
    EXPECT_NE(run.errors.find("fetchwell: " + entry + ": too many open files\n"), std::string::npos)
        << entry << "\n"
        << run.errors;
  }
  EXPECT_EQ(ReadFile(Dated("f0", "bin")), "kept");
  EXPECT_EQ(OtherFiles(program_.Folder()).size(), entries.size()) << "no temporary file is left";
}

TEST_F(E2eRunTest, InterruptDuringAStalledFetchLeavesNoTemporaryFile) {
  // The program makes an entry's temporary file once the first of its writer's
  // buffers is full; a body that stalls after several buffers has one for sure.
  const size_t sent = 4 * fw::DiskWriter::kBufferSize;
  Prepare({server_.Url("/stall/100?after=" + std::to_string(sent))},
          "[Download]\nStallTimeout=300\n");
  const pid_t pid = program_.Start({"-e"});
  // Waits until the body is being written to a temporary file; the limit only
  // keeps a program that never gets there from holding the test up.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool writing = false;
  while (!(writing = WritesATemporaryFile(pid, program_.Folder().Path())) &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGINT);
  const RunResult run = program_.Finish(pid);
  ASSERT_TRUE(writing) << "no temporary file within 60 s: " << run.errors;
  EXPECT_EQ(run.status, 130) << run.errors;
  EXPECT_EQ(OtherFiles(program_.Folder()), std::vector<std::string>{});
}

TEST_F(E2eRunTest, ProgressOnATerminalEndsCleanly) {
  Prepare({server_.Url("/slow/3000/big.bin"), server_.Url("/status/500/bad.bin")});
  const RunResult run = program_.Run({"-e"}, {}, true);
  EXPECT_EQ(run.status, 1) << run.errors;
  const std::string& out = run.errors;
  EXPECT_NE(out.find("\r[1/2] "), std::string::npos) << out;
  EXPECT_NE(out.find("big.bin"), std::string::npos) << out;
  EXPECT_NE(out.find("\r[2/2] "), std::string::npos) << out;
  // The line is cleared before the failure is printed, and nothing is left drawn.
  const std::string failure = "\r\033[Kfetchwell: " + server_.Url("/status/500/bad.bin") + ": ";
  EXPECT_NE(out.find(failure), std::string::npos) << out;
  const std::string closing =
      "fetchwell: 2 entries: 1 fetched (0 unchanged), 1 failed, 2.9 KiB in ";
  const size_t last = out.rfind("\r\n", out.size() - 3);
  EXPECT_EQ(out.substr(last + 2, closing.size()), closing) << out;
  EXPECT_TRUE(out.ends_with(" s\r\n")) << "the run's closing line is the last thing printed";
  EXPECT_EQ(ReadFile(Dated("big", "bin")), LoopbackServer::Pattern(3000));
}

}  // namespace
}  // namespace fwtest
