#include "fetch/snapshot_fetch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fetch/basis_search.h"
#include "fetch/content_hash.h"
#include "fetch/snapshot_run.h"
#include "platform/files.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;

// Conditional requests and the copy of an unchanged snapshot, against a real
// server that answers 304 only when the condition matches.
class SnapshotFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fw::SupportsRecords(dir_.Path())) {
      GTEST_SKIP() << dir_.Path() << " keeps no extended attributes";
    }
  }
  // Fetches `path` as the snapshot `stem-day.bin`, in a run of its own.
  fw::SnapshotResult Fetch(const std::string& path, const std::string& stem, int day,
                           bool skip = true) {
    fw::SnapshotFetcher fetcher(session_, fw::SnapshotOptions{0, skip, 0});
    const fw::SnapshotEntry entry = Entry(path, stem, day);
    fw::SnapshotResult result;
    fw::SnapshotRun::Events events;
    events.finished = [&](int, const fw::SnapshotEntry&, const fw::SnapshotResult& r) {
      result = r;
    };
    fw::SnapshotRun run(
        session_, fetcher, 0, [&](const std::string&) { return entry; }, events);
    std::optional<std::string> url = entry.url;
    run.Run([&] { return std::exchange(url, std::nullopt); });
    return result;
  }
  fw::SnapshotEntry Entry(const std::string& path, const std::string& stem, int day) const {
    fw::SnapshotEntry entry;
    entry.url = entry.recordUrl = server_.Url(path);
    entry.shape = {stem, "bin"};
    entry.destination = Name(stem, day);
    return entry;
  }
  std::string Name(const std::string& stem, int day) const {
    return dir_ / (stem + "-" + std::to_string(day) + ".bin");
  }
  // Makes the snapshot look a day older, so that later ones are newer, and
  // gives it `etag` when one is named; its record stays true to its bytes.
  void Age(const std::string& path, const std::string& etag = "") {
    auto record = fw::ReadRecord(path);
    ASSERT_TRUE(record.has_value()) << path;
    record->fetched -= 86400;
    if (!etag.empty()) record->etag = etag;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(fw::WriteRecord(fd, *record).kept);
    close(fd);
  }
  long long BytesSent() { return server_.Stats().bytes; }

  LoopbackServer server_;
  fw::DownloadSession session_;
  fwtest::TempFolder dir_;
};

TEST_F(SnapshotFetchTest, OnlyAMatchingConditionGives304AndACopy) {
  const std::string lm = "Sat, 05 Dec 2026 10:00:00 GMT";
  const std::string byDate = "/validated/5000?lm=Sat,%2005%20Dec%202026%2010:00:00%20GMT";
  ASSERT_TRUE(Fetch(byDate, "a", 1).ok);
  const auto first = fw::ReadRecord(Name("a", 1));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->lastModified, lm);
  EXPECT_EQ(first->name, "a-1.bin");
  EXPECT_EQ(first->size, 5000);
  Age(Name("a", 1));

  // Last-Modified alone makes the condition; the day's file is a copy of its
  // own, with the same content hash. The basis a dry run names is that one.
  EXPECT_EQ(fw::BasisSearch().BasisName(Entry(byDate, "a", 2)), "a-1.bin");
  long long before = BytesSent();
  fw::SnapshotResult result = Fetch(byDate, "a", 2);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_TRUE(result.fresh);
  EXPECT_EQ(BytesSent(), before);
  EXPECT_TRUE(fwtest::ReadFile(Name("a", 2)) == LoopbackServer::Pattern(5000));
  EXPECT_EQ(fw::ReadRecord(Name("a", 2))->hash, first->hash);
  EXPECT_EQ(fw::ReadRecord(Name("a", 2))->name, "a-2.bin");

  // The file changed on the server since the snapshot (its record holds an
  // older ETag): the condition does not match and the new body comes whole.
  const std::string byTag = "/validated/3000?etag=v2";
  ASSERT_TRUE(Fetch(byTag, "b", 1).ok);
  Age(Name("b", 1), "v1");
  before = BytesSent();
  result = Fetch(byTag, "b", 2);
  EXPECT_TRUE(result.ok && !result.fresh) << result.reason;
  EXPECT_EQ(BytesSent() - before, 3000);
  EXPECT_EQ(fw::ReadRecord(Name("b", 2))->etag, "v2");
  before = BytesSent();
  EXPECT_TRUE(Fetch(byTag, "b", 3).fresh);
  EXPECT_EQ(BytesSent(), before);

  // Without the option nothing is asked conditionally.
  before = BytesSent();
  result = Fetch(byDate, "a", 3, false);
  EXPECT_TRUE(result.ok && !result.fresh);
  EXPECT_EQ(BytesSent() - before, 5000);
}

// The newest snapshot is a basis only while its bytes are those recorded: an
// edit, even one that keeps the size, makes the request unconditional.
TEST_F(SnapshotFetchTest, AnEditedSnapshotIsNeverCopiedForward) {
  const std::string path = "/validated/4000?etag=v1";
  ASSERT_TRUE(Fetch(path, "c", 1).ok);
  Age(Name("c", 1));
  std::string edited = fwtest::ReadFile(Name("c", 1));
  edited[10] = static_cast<char>(edited[10] + 1);
  {
    // Written in place, as an editor that keeps the inode would.
    const int fd = open(Name("c", 1).c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, edited.data(), edited.size(), 0), static_cast<ssize_t>(edited.size()));
    close(fd);
  }
  EXPECT_EQ(fw::BasisSearch().BasisName(Entry(path, "c", 2)), "");
  const long long before = BytesSent();
  const fw::SnapshotResult result = Fetch(path, "c", 2);
  ASSERT_TRUE(result.ok) << result.reason;
  EXPECT_FALSE(result.fresh);
  EXPECT_EQ(BytesSent() - before, 4000);
  EXPECT_TRUE(fwtest::ReadFile(Name("c", 2)) == LoopbackServer::Pattern(4000));
  EXPECT_EQ(fwtest::ReadFile(Name("c", 1)), edited) << "the user's edit is left alone";
}

}  // namespace
