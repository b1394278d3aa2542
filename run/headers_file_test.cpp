#include "run/headers_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Which URLs a prefix covers: origin by origin, path segment by segment.
TEST(RequestHeadersTest, APrefixCoversItsOriginAndPathOnly) {
  struct Case {
    const char* prefix;
    const char* url;
    bool covered;
  };
  const Case cases[] = {
      {"https://host", "https://host/x?q=1", true},
      {"https://host", "https://HOST:443/x", true},  // case, the default port written
      {"HTTPS://Host:443/", "https://host/", true},
      {"https://host", "https://user:pw@host/x", true},  // a login in the URL changes nothing
      {"https://host", "https://host.evil/x", false},
      {"https://host", "https://host:444/x", false},
      {"https://host", "http://host/x", false},   // never over plain http...
      {"http://host", "http://host:80/x", true},  // ...unless the prefix says so
      {"http://host", "https://host/x", false},
      {"https://host", "https://evil/x?host", false},
      {"https://host", "https://host@evil/x", false},
      {"https://h/api", "https://h/api", true},
      {"https://h/api", "https://h/api/x", true},
      {"https://h/api", "https://h/api?x", true},
      {"https://h/api", "https://h/apix", false},
      {"https://h/api", "https://h/api/../admin", false},  // resolved as the request is
      {"https://h/api/", "https://h/api/x", true},
      {"https://h/api/", "https://h/api", false},
      {"https://h/API", "https://h/api/x", false},  // paths are exact
      {"https://[::1]:8443", "https://[::1]:8443/x", true},
      {"https://[::1]:8443", "https://127.0.0.1:8443/x", false},
      {"https://host", "ftp://host/x", false},
      {"https://host", "not a url", false},
  };
  for (const Case& c : cases) {
    const RequestHeaders headers =
        RequestHeaders::Parse("h", std::string(c.prefix) + " X-Key: v\n");
    ASSERT_EQ(headers.Notices(), Lines{}) << c.prefix;
    EXPECT_EQ(headers.For(c.url), c.covered ? Lines{"X-Key: v"} : Lines{})
        << c.prefix << " " << c.url;
  }
}

// Lines not taken are said by number and why, never by their text.
TEST(RequestHeadersTest, ALineNotTakenIsSaidWithoutItsText) {
  const std::string secret = "Zq9-never-shown";
  const RequestHeaders headers =
      RequestHeaders::Parse("/p/h", "# a comment " + secret +
                                        "\n"
                                        "\n"
                                        "  https://a/x \t Authorization:  Bearer " +
                                        secret +
                                        " # kept \r\n"
                                        "https://a/x X-Second: two\n"
                                        "https://a/x X-Evil: " +
                                        secret +
                                        "\rInjected: yes\n"
                                        "https://a/x X-Nul: " +
                                        secret + std::string(1, '\0') +
                                        "\n"
                                        "https://" +
                                        secret +
                                        "\n"
                                        "ftp://a X-Key: " +
                                        secret +
                                        "\n"
                                        "https://u:" +
                                        secret +
                                        "@a X-Key: v\n"
                                        "https://a/?q=" +
                                        secret +
                                        " X-Key: v\n"
                                        "https://a " +
                                        secret +
                                        "\n"
                                        "https://a Bad Name: " +
                                        secret +
                                        "\n"
                                        "https://a Host: " +
                                        secret +
                                        "\n"
                                        "https://a if-none-match: " +
                                        secret +
                                        "\n"
                                        "https://a X-Empty:   \n"
                                        "https://b:8443 X-Key: v");
  const std::string p = "HeadersFile /p/h line ";
  const std::string no = ", so the line is not used";
  EXPECT_EQ(
      headers.Notices(),
      (Lines{p + "5: it holds a control character" + no, p + "6: it holds a control character" + no,
             p + "7: it has no header after the prefix" + no,
             p + "8: its prefix is not an http or https URL" + no,
             p + "9: its prefix holds a user name or password" + no,
             p + "10: its prefix holds a query or fragment" + no,
             p + "11: it has no header (Name: value) after the prefix" + no,
             p + "12: it has no header (Name: value) after the prefix" + no,
             p + "13: Host is the program's own header" + no,
             p + "14: If-None-Match is the program's own header" + no,
             p + "15: its header has no value" + no}));
  EXPECT_EQ(headers.For("https://a/x/y"),
            (Lines{"Authorization: Bearer " + secret + " # kept", "X-Second: two"}));
  EXPECT_EQ(headers.For("https://b:8443/"), Lines{"X-Key: v"});
  EXPECT_EQ(headers.Summary(), "3 headers for 2 prefixes; 11 lines not used");
  EXPECT_EQ(RequestHeaders::Parse("h", "https://a/ X-One: 1\n").Summary(), "1 header for 1 prefix");
}

}  // namespace
