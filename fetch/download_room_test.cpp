// How many transfers a session lets run, and which may open a connection,
// against real servers on loopback. The two names of one server,
// "127.0.0.1" and "localhost", are two hosts to the session.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fetch/download.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;

// Runs the session's transfers until `ready()`, keeping those done; false
// when 20 s pass first.
bool RunUntil(fw::DownloadSession& session, std::vector<fw::TransferDone>* done,
              const std::function<bool()>& ready) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > until) return false;
    for (fw::TransferDone& d :
         session.Wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(50))) {
      done->push_back(std::move(d));
    }
  }
  return true;
}

// A transfer redirected from the first host to the second counts at the
// second. Two held there (one over HTTP/1.1, where Parallel=2 leaves room for
// no more) leave the first host's connections free: a transfer to it that
// waits for a second one runs beside it. Over HTTP/2, with one stream a
// connection, the second gets a connection of its own at once. Over HTTP/1.1
// the first takes the connection the redirected one left: that is no sign of
// streams, and the two transfers alone fill Parallel.
TEST(DownloadRoomTest, ATransferCountsAtTheHostItsRequestGoesTo) {
  for (const bool http2 : {true, false}) {
    SCOPED_TRACE(http2 ? "HTTP/2" : "HTTP/1.1");
    LoopbackServer server(http2 ? LoopbackServer::Mode::kHttp2WithAuthority
                                : LoopbackServer::Mode::kHttpsWithAuthority,
                          0, http2 ? 1 : 0);
    fwtest::TempFolder dir;
    fw::DownloadTrust trust;
    trust.caFile = server.AuthorityFile();
    fw::DownloadSession session({}, trust, 2);
    const std::string port = std::to_string(server.Port());
    const std::string first = "https://127.0.0.1:" + port, second = "https://localhost:" + port;
    std::vector<fw::TransferDone> done;
    // Starts a transfer of `url` and runs until `key` has seen `n` arrive.
    const auto start = [&](const std::string& url, const std::string& key, int n) {
      session.Start(url, dir / std::to_string(session.Running()));
      return RunUntil(session, &done, [&] { return server.FlowOf(key).arrived == n; });
    };
    for (int i = 1; i <= (http2 ? 2 : 1); ++i) {
      ASSERT_TRUE(
          start(first + "/redirect-to?url=" + second + "/hold/away/1%3Ftimeout%3D10", "away", i));
    }
    ASSERT_TRUE(start(first + "/hold/here/1?timeout=10&done=away", "here", 1));
    EXPECT_EQ(session.HasRoomFor(fw::DownloadSession::Origin(first)), http2);
    session.Start(first + "/bytes/100?done=here", dir / "last");
    ASSERT_TRUE(RunUntil(session, &done, [&] { return session.Running() == 0; }));
    EXPECT_EQ(server.FlowOf("here").timedOut, 0);
    EXPECT_EQ(server.FlowOf("away").timedOut, 0);
    for (const fw::TransferDone& d : done) EXPECT_NE(d.ticket, 0u) << d.error;
  }
}

// An HTTP/2 answer after a redirect is the second host's: the first, which
// speaks HTTP/1.1, still gets Parallel transfers at once and no more.
TEST(DownloadRoomTest, AnHttp2AnswerAfterARedirectIsTheSecondHosts) {
  LoopbackServer first(LoopbackServer::Mode::kHttpsWithAuthority);
  LoopbackServer second(LoopbackServer::Mode::kHttp2WithAuthority);
  fwtest::TempFolder dir;
  fw::DownloadTrust trust;
  trust.caFile = dir / "both.pem";
  fwtest::WriteFile(trust.caFile, fwtest::ReadFile(first.AuthorityFile()) +
                                      fwtest::ReadFile(second.AuthorityFile()));
  fw::DownloadSession session({}, trust, 2);
  ASSERT_TRUE(session.Fetch(first.Url("/redirect-to?url=" + second.Url("/bytes/100")), dir / "0"));
  std::vector<fw::TransferDone> done;
  for (int i = 1; i <= 2; ++i) {
    session.Start(first.Url("/hold/k/1?timeout=10"), dir / std::to_string(i));
  }
  ASSERT_TRUE(RunUntil(session, &done, [&] { return first.FlowOf("k").arrived == 2; }));
  EXPECT_FALSE(session.HasRoomFor(fw::DownloadSession::Origin(first.Url("/"))));
  first.Get("/bytes/1?done=k");
  ASSERT_TRUE(RunUntil(session, &done, [&] { return session.Running() == 0; }));
  EXPECT_EQ(first.FlowOf("k").timedOut, 0);
}

}  // namespace
