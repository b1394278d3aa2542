#include "run/headers_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Which URLs a prefix covers: origin by origin, path segment by segment.
TEST(RequestHeadersTest, APrefixCoversItsOriginAndPathOnly) {
  const struct {
    const char *prefix, *url;
    bool covered;
  } cases[] = {
      {"https://host", "https://HOST:443/x?q", true},  // case, the default port written
      {"HTTPS://Host:443/", "https://user:pw@host/", true},
      {"https://host", "https://host.evil/x", false},
      {"https://host", "https://host:444/", false},
      {"https://host", "http://host/x", false},
      {"http://host", "http://host:80/", true},
      {"https://host", "https://host@evil/x", false},
      {"https://host", "ftp://host/x", false},
      {"https://h/api", "https://h/api", true},
      {"https://h/api", "https://h/api/x", true},
      {"https://h/api", "https://h/api?x", true},
      {"https://h/api", "https://h/apix", false},
      {"https://h/api", "https://h/api/../x", false},
      {"https://h/api/", "https://h/api", false},
      {"https://h/API", "https://h/api/x", false},
      {"https://[::1]:8", "https://[::1]:8/", true},
  };
  for (const auto& c : cases) {
    const RequestHeaders headers = RequestHeaders::Parse("h", std::string(c.prefix) + " X-K: v");
    EXPECT_EQ(headers.For(c.url), c.covered ? Lines{"X-K: v"} : Lines{})
        << c.prefix << " " << c.url;
  }
}

// Lines not taken are said by number and why, never by their text.
TEST(RequestHeadersTest, ALineNotTakenIsSaidWithoutItsText) {
  const std::string s = "Zq9-never-shown";
  const RequestHeaders headers = RequestHeaders::Parse(
      "/p/h", "# " + s + "\n\n  https://a/x \t Authorization:  Bearer " + s + " # kept \r\n" +
                  "https://a/x X-Nul: " + s + '\0' + "\nhttps://" + s + "\nftp://a X-K: " + s +
                  "\nhttps://u:" + s + "@a X-K: v\nhttps://a/#" + s +
                  " X-K: v\nhttps://a Bad N: " + s + "\nhttps://a if-none-match: " + s +
                  "\nhttps://a X-Empty:  \nhttps://b:8 X: v");
  const std::string p = "HeadersFile /p/h line ", no = ", so the line is not used";
  EXPECT_EQ(headers.Notices(), (Lines{p + "4: it holds a control character" + no,
                                      p + "5: it has no header after the prefix" + no,
                                      p + "6: its prefix is not an http or https URL" + no,
                                      p + "7: its prefix holds a user name or password" + no,
                                      p + "8: its prefix holds a query or fragment" + no,
                                      p + "9: it has no header (Name: value) after the prefix" + no,
                                      p + "10: If-None-Match is the program's own header" + no,
                                      p + "11: its header has no value" + no}));
  EXPECT_EQ(headers.For("https://a/x/y"), Lines{"Authorization: Bearer " + s + " # kept"});
  EXPECT_EQ(headers.Summary(), "2 headers for 2 prefixes; 8 lines not used");
}

}  // namespace
