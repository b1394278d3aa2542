// Where a request for an http or https URL goes, read as libcurl reads the
// URL: for telling whether a URL lies under a prefix of URLs. Never raises.
#pragma once

#include <optional>
#include <string>

namespace fw {

struct UrlPlace {
  // "scheme://host:port" in lower case, the scheme's own port when none is
  // written: "HTTPS://Host/x" and "https://host:443/x" have the same origin.
  std::string origin;
  // The path as it is sent: "/" when empty, "." and ".." segments resolved,
  // percent-encoding as written; without query and fragment.
  std::string path;
  bool userInfo = false;  // "user[:password]@" is written
  bool query = false;     // a "?..." is written
  bool fragment = false;  // a "#..." is written
};

// The place of `url`; nullopt when it is not an http or https URL (its scheme
// written) that libcurl can read.
std::optional<UrlPlace> PlaceOf(const std::string& url);

}  // namespace fw
