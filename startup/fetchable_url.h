// Whether a word is a URL a download run can fetch, checked before it joins
// the list.
#pragma once

#include <string>

namespace modMain {

// True when `word` is "<scheme>://<rest>" with a scheme the run fetches
// (http, https, ftp, ftps, file; in any letter case) and:
//  - for http, https, ftp and ftps, a host: the authority (after any
//    "user:password@", up to the first "/", "?" or "#") holds a host name or
//    a bracketed address before any ":port", and the port, when given, is
//    digits (or empty);
//  - for file, a path: the text after the authority begins with "/".
// A word holding a space or a control byte (below 0x20, or 0x7f) is never
// one. Never raises.
bool IsFetchableUrl(const std::string& word);

}  // namespace modMain
