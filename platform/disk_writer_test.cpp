#include "platform/disk_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
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
  writer.Fill(buffer);
  writer.Commit(nullptr);
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

}  // namespace
