#include "platform/download.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;
using fwtest::TempFolder;
using Names = std::vector<std::string>;

class DownloadTest : public ::testing::Test {
 protected:
  LoopbackServer server_;
  TempFolder dir_;
};

// A fetch replaces a larger file of the same name with exactly the body's bytes.
TEST_F(DownloadTest, FetchesTheExactBytes) {
  fw::DownloadSession session;
  fwtest::WriteFile(dir_ / "out.bin", std::string(300000, 'x'));
  // Sizes around the write buffer's limits, and an empty body.
  for (size_t size : {size_t{0}, size_t{1}, size_t{100000}, size_t{5 * 1024 * 1024 + 7}}) {
    SCOPED_TRACE(size);
    const std::string path = dir_ / "out.bin";
    ASSERT_TRUE(session.Fetch(server_.Url("/bytes/" + std::to_string(size)), path))
        << session.LastError();
    EXPECT_EQ(session.LastError(), "");
    EXPECT_EQ(fw::ReadWholeFile(path), LoopbackServer::Pattern(size));
    EXPECT_EQ(dir_.Entries(), Names{"out.bin"});
  }
}

TEST_F(DownloadTest, FollowsRedirectsUpToTen) {
  fw::DownloadSession session;
  const std::string path = dir_ / "out";
  ASSERT_TRUE(session.Fetch(server_.Url("/redirect/9/bytes/3000"), path)) << session.LastError();
  // Only the final body is kept, none of the redirect pages.
  EXPECT_EQ(fw::ReadWholeFile(path), LoopbackServer::Pattern(3000));
  EXPECT_FALSE(session.Fetch(server_.Url("/redirect/10/bytes/3000"), path));
  EXPECT_EQ(session.LastError(), "too many redirects");
  EXPECT_EQ(fw::ReadWholeFile(path), LoopbackServer::Pattern(3000));
}

TEST_F(DownloadTest, SendsItsUserAgent) {
  fw::DownloadSession session;
  ASSERT_TRUE(session.Fetch(server_.Url("/agent"), dir_ / "agent")) << session.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "agent"), "Fetchwell/" FETCHWELL_VERSION);
}

TEST_F(DownloadTest, FetchesFileUrls) {
  TempFolder source;
  const std::string data = LoopbackServer::Pattern(70000);
  fwtest::WriteFile(source / "in.dat", data);
  fw::DownloadSession session;
  ASSERT_TRUE(session.Fetch("file://" + (source / "in.dat"), dir_ / "copy.dat"))
      << session.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "copy.dat"), data);
}

TEST_F(DownloadTest, OneSessionKeepsOneConnectionToAHost) {
  fw::DownloadSession session;
  ASSERT_TRUE(session.Fetch(server_.Url("/bytes/10"), dir_ / "a")) << session.LastError();
  ASSERT_TRUE(session.Fetch(server_.Url("/bytes/20000"), dir_ / "b")) << session.LastError();
  ASSERT_TRUE(session.Fetch(server_.Url("/bytes/30"), dir_ / "c")) << session.LastError();
  LoopbackServer::Counts counts = server_.Stats();
  EXPECT_EQ(counts.requests, 3);
  EXPECT_EQ(counts.connections, 1);
}

// Every kind of failed fetch: the reason names it, an existing file of the
// destination's name is untouched, and nothing else is left in the folder. One
// session goes through all of them and must still fetch afterwards.
TEST_F(DownloadTest, FailedFetchesKeepTheFolderAsItWas) {
  LoopbackServer tls(LoopbackServer::Mode::kHttps);
  fwtest::SilentPort silent;
  const std::string silentHost = "127.0.0.1:" + std::to_string(silent.Port());
  const std::string refused = "http://127.0.0.1:" + std::to_string(fwtest::UnusedPort()) + "/x";
  struct Case {
    std::string url;
    std::string reason;  // a part of LastError()
  };
  const std::vector<Case> cases = {
      {server_.Url("/status/404"), "HTTP 404"},
      {server_.Url("/status/500"), "HTTP 500"},
      {refused, "connection refused"},
      {server_.Url("/truncated/100000?sent=40000"), "connection closed after 40000 of 100000"},
      {server_.Url("/stall/5?after=30000"), "no data for 1 s"},
      {server_.Url("/stall/5"), "no data for 1 s"},
      {server_.Url("/redirect/2/stall/5"), "no data for 1 s"},
      {"http://" + silentHost + "/", "no data for 1 s"},
      {"https://" + silentHost + "/", "no connection within 1 s"},
      {server_.Url("/loop"), "too many redirects"},
      {server_.Url("/redirect-to?url=file:///etc/hostname"), "redirect to a protocol"},
      {tls.Url("/bytes/100"), "certificate not trusted"},
      {"file://" + (dir_ / "no-such-file"), "cannot read the file"},
      {"gopher://127.0.0.1/x", "protocol not supported"},
      {"http://127.0.0.1:99999999/", "malformed URL"},
  };
  fw::DownloadLimits limits;
  limits.connectTimeout = 1;
  limits.stallTimeout = 1;
  fw::DownloadSession session(limits);
  const std::string path = dir_ / "kept.txt";
  const std::string old = "yesterday's snapshot\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    // Once into an empty folder, once over an existing file.
    EXPECT_FALSE(session.Fetch(c.url, path));
    EXPECT_NE(session.LastError().find(c.reason), std::string::npos) << session.LastError();
    EXPECT_EQ(dir_.Entries(), Names{});

    fwtest::WriteFile(path, old);
    EXPECT_FALSE(session.Fetch(c.url, path));
    EXPECT_EQ(fw::ReadWholeFile(path), old);
    EXPECT_EQ(dir_.Entries(), Names{"kept.txt"});
    unlink(path.c_str());
  }
  EXPECT_TRUE(session.Fetch(server_.Url("/bytes/5000"), path)) << session.LastError();
  EXPECT_EQ(fw::ReadWholeFile(path), LoopbackServer::Pattern(5000));
}

TEST_F(DownloadTest, UnusableDestinationsFailWithAReason) {
  fw::DownloadSession session;
  EXPECT_FALSE(session.Fetch(server_.Url("/bytes/10"), dir_ / "missing/out"));
  EXPECT_NE(session.LastError().find(dir_ / "missing"), std::string::npos) << session.LastError();
  EXPECT_FALSE(session.Fetch(server_.Url("/bytes/10"), dir_.Path()));
  EXPECT_NE(session.LastError().find("not a file name"), std::string::npos);
  EXPECT_FALSE(session.Fetch(server_.Url("/bytes/10"), ""));
  EXPECT_EQ(dir_.Entries(), Names{});
  EXPECT_EQ(server_.Stats().requests, 0);
}

TEST_F(DownloadTest, ReportsProgress) {
  fw::DownloadSession session;
  std::vector<fw::DownloadProgress> seen;
  session.OnProgress([&seen](const fw::DownloadProgress& p) { seen.push_back(p); });

  ASSERT_TRUE(session.Fetch(server_.Url("/bytes/300000"), dir_ / "known"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().bytes, 300000);
  EXPECT_EQ(seen.back().total, 300000);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].bytes, seen[i - 1].bytes);

  seen.clear();
  ASSERT_TRUE(session.Fetch(server_.Url("/nolength/5000"), dir_ / "unknown"));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().bytes, 5000);
  EXPECT_EQ(seen.back().total, -1);

  // A callback that raises ends the fetch as a failure, keeping nothing.
  session.OnProgress([](const fw::DownloadProgress&) { throw std::runtime_error("tty gone"); });
  EXPECT_FALSE(session.Fetch(server_.Url("/bytes/300000"), dir_ / "broken"));
  EXPECT_NE(session.LastError().find("tty gone"), std::string::npos);
  EXPECT_EQ(dir_.Entries(), (Names{"known", "unknown"}));
}

// SIGINT in the middle of a fetch: the process ends and the temporary file goes
// with it; an existing file of the destination's name is kept as it was.
TEST_F(DownloadTest, InterruptLeavesNoTemporaryFile) {
  const std::string path = dir_ / "snapshot";
  fwtest::WriteFile(path, "old");
  // More than the write buffer arrives first, so part of the body is on disk.
  const std::string url = server_.Url("/stall/20?after=3000000");
  // The child tells through a pipe when part of the body has arrived.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fw::InstallInterruptCleanup();
    fw::DownloadSession session;
    bool told = false;
    session.OnProgress([&](const fw::DownloadProgress& p) {
      if (!told && p.bytes >= 2000000) told = write(ready[1], "x", 1) == 1;
    });
    session.Fetch(url, path);
    _exit(0);
  }
  close(ready[1]);
  pollfd wait{ready[0], POLLIN, 0};
  EXPECT_EQ(poll(&wait, 1, 10000), 1);
  close(ready[0]);
  kill(child, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  EXPECT_EQ(dir_.Entries(), Names{"snapshot"});
  EXPECT_EQ(fw::ReadWholeFile(path), "old");
}

}  // namespace
