#include "fetch/content_hash.h"

#include <openssl/evp.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "platform/error.h"

namespace fw {
namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

XXH3_state_t* State(void* state) {
  return static_cast<XXH3_state_t*>(state);
}

}  // namespace

ContentHash::ContentHash() : state_(XXH3_createState()) {
  if (!state_) throw std::bad_alloc();
  Reset();
}

ContentHash::~ContentHash() {
  XXH3_freeState(State(state_));
}

void ContentHash::Reset() {
  XXH3_128bits_reset(State(state_));
  size_ = 0;
}

void ContentHash::Update(const void* data, size_t size) {
  XXH3_128bits_update(State(state_), data, size);
  size_ += static_cast<int64_t>(size);
}

ContentDigest ContentHash::Digest() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(State(state_)));
  return {size_, Hex(canonical.digest, sizeof canonical.digest)};
}

ContentDigest DigestOf(int fd, const std::string& describe) {
  constexpr size_t kChunk = 256 * 1024;
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  ContentHash hash;
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer.get(), kChunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Error(kFileAccess, "cannot read " + describe + ": " + std::strerror(errno));
    if (n == 0) break;
    hash.Update(buffer.get(), static_cast<size_t>(n));
    at += n;
  }
  return hash.Digest();
}

std::string Sha256Hex(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return Hex(digest, size);
}

}  // namespace fw
