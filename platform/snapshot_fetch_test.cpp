#include "platform/snapshot_fetch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/retention.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;
using Names = std::vector<std::string>;

// Conditional requests and the copy of an unchanged snapshot, against a real
// server that answers 304 only when the condition matches.
class SnapshotFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fw::SupportsRecords(dir_.Path())) {
      GTEST_SKIP() << dir_.Path() << " keeps no extended attributes";
    }
  }
  fw::SnapshotResult Fetch(const std::string& path, const std::string& name,
                           fw::SnapshotOptions options) {
    fw::SnapshotFetcher fetcher(session_, options);
    const std::string url = server_.Url(path);
    return fetcher.Fetch(url, url, dir_ / name);
  }
  // Makes the snapshot `name` look a day older, so that later ones are newer,
  // and gives it `etag` when one is named.
  void Age(const std::string& name, const std::string& etag = "") {
    auto record = fw::ReadRecord(dir_ / name);
    ASSERT_TRUE(record.has_value()) << name;
    record->fetched -= 86400;
    if (!etag.empty()) record->etag = etag;
    fw::TempFile copy(dir_ / name);
    copy.Write(fwtest::ReadFile(dir_ / name));
    ASSERT_TRUE(fw::WriteRecord(copy.fd(), *record, name));
    copy.Commit();
  }
  long long BytesSent() { return server_.Stats().bytes; }

  LoopbackServer server_;
  fw::DownloadSession session_;
  fwtest::TempFolder dir_;
};

TEST_F(SnapshotFetchTest, OnlyAMatchingConditionGives304AndACopy) {
  const fw::SnapshotOptions skip{0, true, 0};
  const std::string lm = "Sat, 05 Dec 2026 10:00:00 GMT";
  const std::string byDate = "/validated/5000?lm=Sat,%2005%20Dec%202026%2010:00:00%20GMT";
  ASSERT_TRUE(Fetch(byDate, "a-1", skip).ok);
  EXPECT_EQ(fw::ReadRecord(dir_ / "a-1")->lastModified, lm);
  Age("a-1");

  // Last-Modified alone makes the condition; the day's file is a copy of its own.
  long long before = BytesSent();
  fw::SnapshotResult result = Fetch(byDate, "a-2", skip);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_TRUE(result.fresh);
  EXPECT_EQ(BytesSent(), before);
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "a-2") == LoopbackServer::Pattern(5000));
  fwtest::WriteFile(dir_ / "a-2", "edited");
  EXPECT_TRUE(fwtest::ReadFile(dir_ / "a-1") == LoopbackServer::Pattern(5000));

  // The file changed on the server since the snapshot (its record holds an
  // older ETag): the condition does not match and the new body comes whole.
  const std::string byTag = "/validated/3000?etag=v2";
  ASSERT_TRUE(Fetch(byTag, "b-1", skip).ok);
  Age("b-1", "v1");
  before = BytesSent();
  result = Fetch(byTag, "b-2", skip);
  EXPECT_TRUE(result.ok && !result.fresh) << result.reason;
  EXPECT_EQ(BytesSent() - before, 3000);
  EXPECT_EQ(fw::ReadRecord(dir_ / "b-2")->etag, "v2");
  // Now the newest snapshot's ETag is the server's: 304, nothing sent.
  before = BytesSent();
  EXPECT_TRUE(Fetch(byTag, "b-3", skip).fresh);
  EXPECT_EQ(BytesSent(), before);

  // Without the option nothing is asked conditionally.
  before = BytesSent();
  result = Fetch(byDate, "a-3", fw::SnapshotOptions{0, false, 0});
  EXPECT_TRUE(result.ok && !result.fresh);
  EXPECT_EQ(BytesSent() - before, 5000);
}

TEST_F(SnapshotFetchTest, KeepsTheNewestAndNothingElse) {
  const std::string path = "/bytes/100/r";
  const fw::SnapshotOptions keepTwo{0, false, 2};
  for (const std::string name : {"r-1", "r-2"}) {
    ASSERT_TRUE(Fetch(path, name, fw::SnapshotOptions{}).ok);
    Age(name);
    if (name == "r-1") Age(name);  // two days old
  }
  ASSERT_TRUE(Fetch("/bytes/100/other", "r-0", fw::SnapshotOptions{}).ok);
  Age("r-0");
  Age("r-0");
  Age("r-0");
  fwtest::WriteFile(dir_ / "r-00", "no record");

  const fw::SnapshotResult result = Fetch(path, "r-3", keepTwo);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_FALSE(result.removalFailed);
  EXPECT_EQ(dir_.Entries(), (Names{"r-0", "r-00", "r-2", "r-3"}));
  EXPECT_EQ(fw::SnapshotsOf(dir_.Path(), server_.Url(path)), (Names{dir_ / "r-3", dir_ / "r-2"}));
}

}  // namespace
