// Where the user information ("user:password@") of a URL lies, for taking it
// out of names and records and masking its password in what is printed.
//
// Read from the text alone, so that a URL the URL parser refuses is covered
// too. Never raises.
#pragma once

#include <string>

namespace fw {

// The user information of a URL: the bytes from `start` (just after "://", or
// 0 when the text has none) up to and without the "@" at `at`. `at` is npos
// when the URL has none.
struct UserInfo {
  std::string::size_type start = std::string::npos;
  std::string::size_type at = std::string::npos;  // the "@" that ends it
};

// Finds the user information of `url`. The authority is the text from `start`
// up to the first "/", "?" or "#"; its host is what follows its last "@" (all
// of it when it has none).
//  - When that host reads "name:rest" and rest is not a port (one or more
//    digits) -- so a password holding an unencoded "/", "?" or "#" cut the
//    authority short, as in "http://user:pa/ss@host/x" -- and an "@" follows
//    the authority, the user information ends at the last "@" of the URL. A
//    host in brackets (an IPv6 address) is never read so.
//  - Otherwise, when the authority holds an "@", it ends at the last one.
//  - Otherwise there is none: "https://host:8443/api?mail=a@b.com" keeps its
//    "@" in the query.
// A URL of the first kind is malformed anyway; masking too much of it is
// better than showing part of a password.
UserInfo FindUserInfo(const std::string& url);

}  // namespace fw
