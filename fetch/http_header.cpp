#include "fetch/http_header.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace fw {

bool HeaderValue(std::string_view line, std::string_view name, std::string* value) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      strncasecmp(line.data(), name.data(), name.size()) != 0) {
    return false;
  }
  line.remove_prefix(name.size() + 1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && std::strchr(" \t\r\n", line.back())) line.remove_suffix(1);
  *value = std::string(line);
  return true;
}

int64_t ByteCount(const std::string& value) {
  int64_t count = -1;
  const char* end = value.data() + value.size();
  if (value.empty() || value.size() > 18 || std::from_chars(value.data(), end, count).ptr != end) {
    return -1;
  }
  return count >= 0 ? count : -1;
}

std::optional<ByteRange> ParseContentRange(std::string_view value) {
  if (value.size() < 6 || strncasecmp(value.data(), "bytes ", 6) != 0) return std::nullopt;
  value.remove_prefix(6);
  int64_t numbers[3] = {};
  for (int i = 0; i < 3; ++i) {
    size_t digits = 0;
    while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') ++digits;
    if (digits == 0 || digits > 18) return std::nullopt;
    std::from_chars(value.data(), value.data() + digits, numbers[i]);
    value.remove_prefix(digits);
    if (i == 2) break;
    if (value.empty() || value.front() != "-/"[i]) return std::nullopt;
    value.remove_prefix(1);
  }
  if (!value.empty() || numbers[0] > numbers[1] || numbers[1] >= numbers[2]) return std::nullopt;
  return ByteRange{numbers[0], numbers[1], numbers[2]};
}

long RetryAfterSeconds(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(value.c_str(), &end, 10);
  if (end != value.c_str() && *end == '\0') {
    return errno == 0 && seconds >= 0 ? static_cast<long>(std::min(seconds, 1LL << 30)) : -1;
  }
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return -1;
  const time_t now = time(nullptr);
  return when > now ? static_cast<long>(std::min<time_t>(when - now, 1 << 30)) : 0;
}

}  // namespace fw
