#include "fetch/content_hash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "fetch/disk_writer.h"
#include "tests/fixtures/temp_folder.h"

namespace {

// The hash of bytes given in pieces is that of the whole, whatever the cut;
// reading a file gives the same digest as writing it did.
TEST(ContentHashTest, PiecesFilesAndTheWriterAgree) {
  std::string data(600000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 253);
  fw::ContentHash whole;
  whole.Update(data.data(), data.size());
  const fw::ContentDigest expected = whole.Digest();
  EXPECT_EQ(expected.size, 600000);
  EXPECT_EQ(expected.hash.size(), 32u);
  EXPECT_EQ(expected.hash.find_first_not_of("0123456789abcdef"), std::string::npos);

  fw::ContentHash pieces;
  pieces.Update("stale", 5);
  pieces.Reset();
  for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1) {
    pieces.Update(data.data() + at, std::min(step, data.size() - at));
  }
  EXPECT_EQ(pieces.Digest(), expected);

  fwtest::TempFolder dir;
  fw::ContentDigest written;
  {
    fw::DiskWriter writer;
    const auto ticket = writer.Begin(dir / "file");
    for (size_t at = 0; at < data.size(); at += fw::DiskWriter::kBufferSize) {
      fw::DiskWriter::Buffer* buffer = writer.Take();
      buffer->used = std::min(fw::DiskWriter::kBufferSize, data.size() - at);
      std::memcpy(buffer->bytes.get(), data.data() + at, buffer->used);
      writer.Fill(ticket, buffer);
    }
    writer.Commit(ticket, [&](int, const fw::ContentDigest& digest) { written = digest; });
    std::string reason;
    ASSERT_TRUE(writer.Wait(ticket, &reason)) << reason;
  }
  EXPECT_EQ(written, expected);
  const int fd = open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fw::DigestOf(fd, "file"), expected);
  close(fd);

  // One byte changed anywhere is another hash; an empty file has one too.
  data[599999] ^= 1;
  fw::ContentHash changed;
  changed.Update(data.data(), data.size());
  EXPECT_NE(changed.Digest().hash, expected.hash);
  EXPECT_EQ(fw::ContentHash().Digest().size, 0);
}

TEST(ContentHashTest, Sha256OfKnownTexts) {
  EXPECT_EQ(fw::Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(fw::Sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
