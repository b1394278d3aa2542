#include "fetch/url_place.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace fw {
namespace {

using Url = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// The part, or nullopt when the URL has none.
std::optional<std::string> Part(const Url& url, CURLUPart part, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url.get(), part, &value, flags) != CURLUE_OK || value == nullptr) {
    return std::nullopt;
  }
  std::string text = value;
  curl_free(value);
  return text;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::optional<UrlPlace> PlaceOf(const std::string& url) {
  Url parts(curl_url(), curl_url_cleanup);
  // No flags: the scheme must be written, and dot segments are resolved as
  // libcurl resolves them for the request.
  if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  const std::optional<std::string> scheme = Part(parts, CURLUPART_SCHEME);
  const std::optional<std::string> host = Part(parts, CURLUPART_HOST);
  const std::optional<std::string> port = Part(parts, CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port || host->empty()) return std::nullopt;
  UrlPlace place;
  place.origin = Lower(*scheme + "://" + *host + ":" + *port);
  if (!place.origin.starts_with("http://") && !place.origin.starts_with("https://")) {
    return std::nullopt;
  }
  place.path = Part(parts, CURLUPART_PATH).value_or(std::string());
  if (place.path.empty()) place.path.push_back('/');
  place.userInfo = Part(parts, CURLUPART_USER).has_value();
  place.query = Part(parts, CURLUPART_QUERY).has_value();
  place.fragment = Part(parts, CURLUPART_FRAGMENT).has_value();
  return place;
}

}  // namespace fw
