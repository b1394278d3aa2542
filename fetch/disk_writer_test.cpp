#include "fetch/disk_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <unistd.h>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/fixtures/temp_folder.h"

namespace {

using Names = std::vector<std::string>;

// Hands `text` to the writer as the whole of a file for `destination`.
fw::DiskWriter::Ticket Put(fw::DiskWriter& writer, const std::string& destination,
                           const std::string& text) {
  const fw::DiskWriter::Ticket ticket = writer.Begin(destination);
  fw::DiskWriter::Buffer* buffer = writer.Take();
  std::memcpy(buffer->bytes.get(), text.data(), text.size());
  buffer->used = text.size();
  writer.Fill(ticket, buffer);
  writer.Commit(ticket, nullptr);
  return ticket;
}

// The temporary file is made on the writer's thread: when it cannot be, that
// file fails with the reason (never a success with nothing in place), the
// transfer can learn it early, and the files around it are put in place.
TEST(DiskWriterTest, AFileThatCannotBeMadeFailsAloneWithItsReason) {
  fwtest::TempFolder dir;
  const std::string missing = dir / "missing";
  fw::DiskWriter writer;
  const auto before = Put(writer, dir / "a", "first");
  const auto failing = Put(writer, missing + "/b", "lost");
  const auto after = Put(writer, dir / "c", "third");

  std::string reason;
  EXPECT_TRUE(writer.Wait(after, &reason)) << reason;
  EXPECT_TRUE(writer.Wait(before, &reason)) << reason;
  EXPECT_TRUE(writer.Failed(failing));
  EXPECT_FALSE(writer.Wait(failing, &reason));
  EXPECT_NE(reason.find(missing), std::string::npos) << reason;
  EXPECT_EQ(dir.Entries(), (Names{"a", "c"}));
  EXPECT_EQ(fwtest::ReadFile(dir / "c"), "third");
}

// Hands `text` over to the file of `ticket` as one buffer.
void FillWith(fw::DiskWriter& writer, fw::DiskWriter::Ticket ticket, const std::string& text) {
  fw::DiskWriter::Buffer* buffer = writer.Take();
  std::memcpy(buffer->bytes.get(), text.data(), text.size());
  buffer->used = text.size();
  writer.Fill(ticket, buffer);
}

// Past the run's deadline nothing more is written or put in place: a file
// under way, and one whose data is all there, fail with the deadline's reason
// and leave nothing behind; one put in place before it stays. Files that
// replace existing ones are put in place in the order they were committed.
TEST(DiskWriterTest, PastTheDeadlineFilesAreGivenUpAndNothingIsLeft) {
  fwtest::TempFolder dir;
  fwtest::WriteFile(dir / "a", "older");
  // Two files of one name in one go, replacing a file or new: the later wins.
  for (const char* name : {"a", "new"}) {
    fw::DiskWriter writer;
    const auto first = Put(writer, dir / name, "first");
    const auto second = Put(writer, dir / name, "replaced");
    std::string reason;
    EXPECT_TRUE(writer.Wait(second, &reason)) << reason;
    EXPECT_TRUE(writer.Wait(first, &reason)) << reason;
    EXPECT_EQ(fwtest::ReadFile(dir / name), "replaced") << name;
  }
  unlink((dir / "new").c_str());
  fw::DiskWriter late(fw::DiskWriter::kBuffers, std::chrono::steady_clock::now());
  const auto whole = Put(late, dir / "b", "whole");
  const auto unfinished = late.Begin(dir / "c");
  FillWith(late, unfinished, "part");
  late.Abandon(unfinished);
  for (const auto ticket : {whole, unfinished}) {
    std::string reason;
    EXPECT_FALSE(late.Wait(ticket, &reason));
    EXPECT_EQ(reason, fw::DiskWriter::kOutOfTime);
  }
  EXPECT_EQ(dir.Entries(), Names{"a"});
}

// A replacement committed to an idle writer waits its time for others to
// share its sync, unless a caller waits for it.
TEST(DiskWriterTest, AReplacementWaitsForOthersEvenWhenTheWriterIsIdle) {
  fwtest::TempFolder dir;
  fwtest::WriteFile(dir / "a", "older");
  fw::DiskWriter writer;
  const auto committed = std::chrono::steady_clock::now();
  const auto ticket = Put(writer, dir / "a", "newer");
  while (!writer.Settled(ticket)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(std::chrono::steady_clock::now() - committed, fw::DiskWriter::kReplaceAfter);
  EXPECT_EQ(fwtest::ReadFile(dir / "a"), "newer");
}

// Files of several transfers are written at once, each from its own buffers:
// none takes another's bytes, the content hash is of each file's own bytes
// (of those after a rewind only), and a file abandoned midway leaves nothing.
TEST(DiskWriterTest, FilesWrittenAtOnceKeepTheirOwnBytes) {
  fwtest::TempFolder dir;
  fw::DiskWriter writer(3);
  const auto a = writer.Begin(dir / "a");
  const auto b = writer.Begin(dir / "b");
  const auto c = writer.Begin(dir / "c");
  FillWith(writer, a, "a1");
  FillWith(writer, b, "old version ");
  FillWith(writer, c, "lost");
  FillWith(writer, a, "a2");
  writer.Rewind(b);  // the resource changed: its new version from the start
  FillWith(writer, b, "b-new");
  writer.Abandon(c);
  fw::ContentDigest digestA, digestB;
  writer.Commit(b, [&](int, const fw::ContentDigest& d) { digestB = d; });
  writer.Commit(a, [&](int, const fw::ContentDigest& d) { digestA = d; });
  std::string reason;
  EXPECT_TRUE(writer.Wait(a, &reason)) << reason;
  EXPECT_TRUE(writer.Wait(b, &reason)) << reason;
  EXPECT_FALSE(writer.Wait(c, &reason));
  EXPECT_EQ(fwtest::ReadFile(dir / "a"), "a1a2");
  EXPECT_EQ(fwtest::ReadFile(dir / "b"), "b-new");
  EXPECT_EQ(digestA.size, 4);
  EXPECT_EQ(digestB.size, 5);
  for (const auto& [name, digest] : {std::pair{"a", digestA}, std::pair{"b", digestB}}) {
    const int fd = open((dir / name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(digest.hash, fw::DigestOf(fd, name).hash) << name;
    close(fd);
  }
  EXPECT_EQ(dir.Entries(), (Names{"a", "b"}));
}

// A file over the size whose pages are let go later, its bytes told by `i`.
std::string Body(int i) {
  return std::string(160 * 1024, static_cast<char>('a' + i % 26));
}

// Finished files are held open for a while (to let their pages go later), but
// never so many that a process allowed few descriptors has none left for the
// rest of its run (a connection, the next files).
TEST(DiskWriterTest, FilesHeldOpenLeaveDescriptorsForTheRestOfTheRun) {
  fwtest::TempFolder dir;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit few = before;
  few.rlim_cur = static_cast<rlim_t>(fwtest::OpenDescriptors() + 40);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
  std::vector<fw::DiskWriter::Ticket> tickets;
  {
    fw::DiskWriter writer;
    for (int i = 0; i < 100; ++i) {
      tickets.push_back(Put(writer, dir / std::to_string(i), Body(i)));
    }
    for (const auto ticket : tickets) {
      std::string reason;
      EXPECT_TRUE(writer.Wait(ticket, &reason)) << reason;
    }
    std::vector<int> spare;
    for (int i = 0; i < 10; ++i) spare.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (int fd : spare) {
      EXPECT_GE(fd, 0) << "no descriptor left";
      if (fd >= 0) close(fd);
    }
  }
  setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(dir.Entries().size(), 100u);
  EXPECT_EQ(fwtest::ReadFile(dir / "99"), Body(99));
}

}  // namespace
