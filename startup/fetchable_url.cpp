#include "startup/fetchable_url.h"

#include <algorithm>

#include "run/names.h"
#include "startup/command_line.h"

namespace modMain {

namespace {

// Whether `text` is a port: digits, or nothing (the scheme's own port).
bool IsPort(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `hostPort` ("host", "host:port", "[v6]", "[v6]:port") names a host.
bool HasHost(const std::string& hostPort) {
  if (hostPort.empty()) return false;
  if (hostPort.rfind('[', 0) == 0) {
    const auto close = hostPort.find(']');
    if (close == std::string::npos || close == 1) return false;
    const std::string rest = hostPort.substr(close + 1);
    return rest.empty() || (rest[0] == ':' && IsPort(rest.substr(1)));
  }
  const auto colon = hostPort.find(':');
  if (colon == 0) return false;
  return colon == std::string::npos || IsPort(hostPort.substr(colon + 1));
}

}  // namespace

bool IsFetchableUrl(const std::string& word) {
  const bool plain = std::none_of(word.begin(), word.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte <= 0x20 || byte == 0x7f;
  });
  const auto separator = word.find("://");
  if (!plain || separator == std::string::npos) return false;
  const std::string scheme = LowerCase(word.substr(0, separator));
  const bool network = scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "ftps";
  if (!network && scheme != "file") return false;

  const auto start = separator + 3;
  const auto authorityEnd = std::min(word.find_first_of("/?#", start), word.size());
  if (!network) return word.compare(authorityEnd, 1, "/") == 0;
  // The host follows the user information, which may itself hold "/" in a
  // malformed URL: the same rule finds it here as in names and printed lines.
  const UserInfo info = FindUserInfo(word);
  const auto hostStart = info.at == std::string::npos ? start : info.at + 1;
  const auto hostEnd = std::min(word.find_first_of("/?#", hostStart), word.size());
  return HasHost(word.substr(hostStart, hostEnd - hostStart));
}

}  // namespace modMain
