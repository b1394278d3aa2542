#include "fetch/url_userinfo.h"

#include <algorithm>

namespace fw {
namespace {

// Whether `text` holds one or more digits and nothing else.
bool IsPort(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

UserInfo FindUserInfo(const std::string& url) {
  const auto scheme = url.find("://");
  const std::string::size_type start = scheme == std::string::npos ? 0 : scheme + 3;
  const auto end = std::min(url.find_first_of("/?#", start), url.size());
  const std::string authority = url.substr(start, end - start);
  const auto at = authority.rfind('@');
  const std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
  const auto colon = host.find(':');
  const auto later = url.rfind('@');
  // An empty "port" ("user:/pass@host") counts as none: better a URL masked
  // too much than a password beginning with "/" shown.
  if (later != std::string::npos && later >= end && colon != std::string::npos &&
      !host.starts_with('[') && !IsPort(host.substr(colon + 1))) {
    return {start, later};
  }
  if (at == std::string::npos) return {};
  return {start, start + at};
}

}  // namespace fw
