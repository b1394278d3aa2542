// Content hashes for snapshots' records.
//
// A snapshot's record holds the XXH3-128 hash of the file's bytes, so that a
// file edited, truncated or replaced since it was fetched is told from the
// server's copy. The hash is taken as the data passes on its way to the disk
// (ContentHash), or by reading a file whole (DigestOf). Hashes are written as
// 32 lowercase hexadecimal digits.
//
// Sha256Hex gives the SHA-256 of a text, for keeping a URL too long to be
// recorded as it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace fw {

// A file's size and content hash.
struct ContentDigest {
  int64_t size = 0;
  std::string hash;  // 32 hexadecimal digits
  bool operator==(const ContentDigest&) const = default;
};

// The hash of bytes given piece by piece.
class ContentHash {
 public:
  ContentHash();
  ~ContentHash();
  ContentHash(const ContentHash&) = delete;
  ContentHash& operator=(const ContentHash&) = delete;

  // Starts again, as if nothing had been given.
  void Reset();
  void Update(const void* data, size_t size);
  // What was given since the start (or the last Reset).
  ContentDigest Digest() const;

 private:
  void* state_;  // XXH3_state_t
  int64_t size_ = 0;
};

// The digest of the whole of the open regular file `fd`, read from its first
// byte with pread (the descriptor's position is left alone). Raises fw::Error
// 75 naming `describe` when it cannot be read.
ContentDigest DigestOf(int fd, const std::string& describe);

// The SHA-256 of `text`, as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view text);

}  // namespace fw
