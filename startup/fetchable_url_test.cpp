#include "startup/fetchable_url.h"

#include <gtest/gtest.h>

namespace modMain {
namespace {

TEST(FetchableUrlTest, SchemesTheRunFetchesWithAHost) {
  for (const char* url : {"http://h/x", "HTTPS://host:8443/a?b#c", "ftp://u:p@ftp.example.org/pub/",
                          "ftps://h", "http://[::1]:8080/x", "http://user:pa/ss@host/x",
                          "http://h:/x", "http://h?q=a@b", "https://h\xC3\xA9.example/\xC3\xA9"}) {
    EXPECT_TRUE(IsFetchableUrl(url)) << url;
  }
  for (const char* url :
       {"", "x", "h/x", "http:/h/x", "http://", "http:///x", "http://u:p@/x", "http://:80/x",
        "http://h:8x/x", "http://[]/x", "http://[::1/x", "gopher://h/x", "scp://h/x", "-http://h/x",
        "http://h/a b", "http://h/\n", "http://h/\x7f", "mailto:a@b"}) {
    EXPECT_FALSE(IsFetchableUrl(url)) << url;
  }
}

TEST(FetchableUrlTest, FileUrlsNeedAPath) {
  EXPECT_TRUE(IsFetchableUrl("file:///etc/hosts"));
  EXPECT_TRUE(IsFetchableUrl("FILE://localhost/tmp/x"));
  EXPECT_FALSE(IsFetchableUrl("file://"));
  EXPECT_FALSE(IsFetchableUrl("file://etc"));
  EXPECT_FALSE(IsFetchableUrl("file:relative"));
}

}  // namespace
}  // namespace modMain
