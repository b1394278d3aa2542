// Reading the values of HTTP header lines, as a transfer's answer brings them.
// Each reader takes the text as the server sent it and refuses, rather than
// guesses, what is not exactly of its form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fw {

// Whether `line` is the header `name` (in any case); if so, `*value` is its
// value without the spaces around it and the line end.
bool HeaderValue(std::string_view line, std::string_view name, std::string* value);

// A number of bytes (a Content-Length): -1 unless digits alone, 18 at most.
int64_t ByteCount(const std::string& value);

// One range of a resource of known length, as a Content-Range gives it.
struct ByteRange {
  int64_t first = 0, last = 0, length = 0;
};
// A Content-Range value "bytes FIRST-LAST/LENGTH" with FIRST <= LAST < LENGTH;
// nullopt for anything else ("bytes */1000", signs, spaces, over 18 digits...).
std::optional<ByteRange> ParseContentRange(std::string_view value);

// Seconds from now that a Retry-After value asks for (a number of seconds, at
// most 2^30, or an HTTP date); -1 when it is neither.
long RetryAfterSeconds(const std::string& value);

}  // namespace fw
