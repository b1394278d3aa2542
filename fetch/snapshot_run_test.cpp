// SnapshotRun on the road the program takes: a real DownloadSession with
// several transfers (Start, Wait, HasRoomFor) against loopback servers.
#include "fetch/snapshot_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace fw {
namespace {

using fwtest::LoopbackServer;

struct Told {
  int number;
  std::string url;
  bool ok;
};

// Runs `urls` with Parallel `parallel`, each named "<dir>/<name after n=/>";
// what `finished` told and the order entries started in.
struct Outcome {
  std::vector<Told> told;
  std::vector<int> started;
};
Outcome RunAll(const std::vector<std::string>& urls, int parallel, const std::string& dir,
               const std::string& caFile = "") {
  DownloadTrust trust;
  trust.caFile = caFile;
  DownloadSession session({}, trust, parallel);
  SnapshotFetcher fetcher(session, {});
  Outcome outcome;
  SnapshotRun::Events events;
  events.started = [&](int number, const SnapshotEntry&) { outcome.started.push_back(number); };
  events.finished = [&](int number, const SnapshotEntry& entry, const SnapshotResult& result) {
    outcome.told.push_back({number, entry.url, result.ok});
  };
  const auto name = [&](const std::string& url) {
    SnapshotEntry entry;
    entry.url = entry.recordUrl = url;
    entry.destination = dir + "/" + url.substr(url.rfind("n=/") + 3);
    return entry;
  };
  SnapshotRun run(session, fetcher, 0, name, events);
  size_t next = 0;
  run.Run([&]() -> std::optional<std::string> {
    if (next == urls.size()) return std::nullopt;
    return urls[next++];
  });
  return outcome;
}

// Twelve entries behind a barrier of four: four run at once, never more, and
// results come in list order.
TEST(SnapshotRunTest, TransfersRunSideBySideAndAreToldInListOrder) {
  LoopbackServer server;
  fwtest::TempFolder dir;
  std::vector<std::string> urls;
  for (int i = 0; i < 12; ++i) {
    urls.push_back(server.Url("/gate/side/4?linger=100&size=" + std::to_string(100 + i) + "&n=/f" +
                              std::to_string(i)));
  }
  const Outcome outcome = RunAll(urls, 4, dir.Path());
  ASSERT_EQ(outcome.told.size(), urls.size());
  for (size_t i = 0; i < urls.size(); ++i) {
    EXPECT_EQ(outcome.told[i].number, static_cast<int>(i + 1));
    EXPECT_TRUE(outcome.told[i].ok) << i;
    EXPECT_TRUE(fwtest::ReadFile(dir / ("f" + std::to_string(i))) ==
                LoopbackServer::Pattern(100 + i));
  }
  const LoopbackServer::Flow flow = server.FlowOf("side");
  EXPECT_EQ(flow.maxInFlight, 4);
  EXPECT_EQ(flow.timedOut, 0);
}

// With both connections held, entry 4 waits for one; entry 5, of its name, to
// an HTTP/2 host with room, waits for entry 4 and so starts after it.
TEST(SnapshotRunTest, AnEntryWaitsForAnEarlierOneOfItsNameThatHasNotBegun) {
  LoopbackServer plain;
  LoopbackServer h2(LoopbackServer::Mode::kHttp2WithAuthority);
  fwtest::TempFolder dir;
  const std::vector<std::string> urls = {
      h2.Url("/bytes/10?n=/f1"), plain.Url("/hold/run/1?timeout=2&n=/s1"),
      plain.Url("/hold/run/1?timeout=2&n=/s2"), plain.Url("/bytes/2000?n=/x"),
      h2.Url("/bytes/3000?poke=" + plain.Url("/bytes/1?done=run") + "&n=/x")};
  const Outcome outcome = RunAll(urls, 2, dir.Path(), h2.AuthorityFile());
  EXPECT_EQ(outcome.started, (std::vector<int>{1, 2, 3, 4, 5}));
  ASSERT_EQ(outcome.told.size(), urls.size());
  EXPECT_TRUE(outcome.told[4].ok);
  EXPECT_TRUE(fwtest::ReadFile(dir / "x") == LoopbackServer::Pattern(3000));
}

}  // namespace
}  // namespace fw
