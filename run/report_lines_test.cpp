#include "run/report_lines.h"

#include <gtest/gtest.h>

namespace modMain {
namespace {

constexpr std::time_t kDay = 1796762467;  // 2026-12-08T20:41:07Z

TEST(JsonStringTest, EscapesQuotesBackslashesAndControlBytes) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("say \"hi\" C:\\x"), "\"say \\\"hi\\\" C:\\\\x\"");
  EXPECT_EQ(JsonString(std::string("a\0b\n\t\x1f\x7f", 7)),
            "\"a\\u0000b\\u000a\\u0009\\u001f\\u007f\"");
  // Valid UTF-8 of every length stays as it is; "/" needs no escape.
  const std::string text = "/d/caf\xC3\xA9-\xE6\x97\xA5-\xF0\x9F\x93\x84 \xF4\x8F\xBF\xBF";
  EXPECT_EQ(JsonString(text), "\"" + text + "\"");
}

// Each byte that belongs to no valid UTF-8 sequence becomes one \ufffd, and
// the bytes after it are read afresh.
TEST(JsonStringTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\x80z", "a\\ufffdz"},                               // a stray continuation byte
      {"\xC0\xAF", "\\ufffd\\ufffd"},                        // an overlong "/"
      {"\xE0\x80\xAF", "\\ufffd\\ufffd\\ufffd"},             // an overlong "/" in three bytes
      {"\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},             // a surrogate
      {"\xF4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // above U+10FFFF
      {"\xF5\x80", "\\ufffd\\ufffd"},
      {"\xFF\"", "\\ufffd\\\""},
      {"x\xE6\x97", "x\\ufffd\\ufffd"},                // cut at the end
      {"\xE6\x97\xC3\xA9", "\\ufffd\\ufffd\xC3\xA9"},  // cut before a whole character
      {"\xC3\n", "\\ufffd\\u000a"},
  };
  for (const auto& [bytes, escaped] : cases) {
    EXPECT_EQ(JsonString(bytes), "\"" + escaped + "\"") << escaped;
  }
}

TEST(UtcTimeTest, IsIsoUtcToTheSecond) {
  EXPECT_EQ(UtcTime(kDay), "2026-12-08T20:41:07Z");
  EXPECT_EQ(UtcTime(0), "1970-01-01T00:00:00Z");
}

TEST(ReportLinesTest, EntryLineOfASuccess) {
  fw::SnapshotResult result;
  result.ok = true;
  result.httpStatus = 200;
  result.bytes = 5000000000;
  result.attempts = 2;
  result.reason = "ignored when ok";
  EXPECT_EQ(EntryLine(kDay, "http://user:pw@h/a.pdf", "/d/a-12-08-26.pdf", result),
            "{\"event\":\"entry\",\"time\":\"2026-12-08T20:41:07Z\","
            "\"url\":\"http://user:***@h/a.pdf\",\"file\":\"/d/a-12-08-26.pdf\",\"ok\":true,"
            "\"http_status\":200,\"bytes\":5000000000,\"attempts\":2,\"unchanged\":false,"
            "\"reason\":null}\n");
  result.httpStatus = 304;
  result.fresh = true;
  result.attempts = 1;
  EXPECT_NE(EntryLine(kDay, "http://h/a", "/d/a", result)
                .find("\"http_status\":304,\"bytes\":5000000000,\"attempts\":1,"
                      "\"unchanged\":true,\"reason\":null}\n"),
            std::string::npos);
}

TEST(ReportLinesTest, EntryLineOfAFailure) {
  fw::SnapshotResult result;
  result.reason = "HTTP 404 \"gone\"\r";
  result.httpStatus = 404;
  result.attempts = 1;
  result.fresh = true;  // no file was put in place, so nothing is unchanged
  const std::string line = EntryLine(kDay, "http://h/x\x01.bin", "/d/x\x01-1.bin", result);
  EXPECT_NE(line.find("\"url\":\"http://h/x\\u0001.bin\",\"file\":\"/d/x\\u0001-1.bin\","
                      "\"ok\":false,\"http_status\":404,\"bytes\":0,\"attempts\":1,"
                      "\"unchanged\":false,\"reason\":\"HTTP 404 \\\"gone\\\"\\u000d\"}\n"),
            std::string::npos)
      << line;
  // No answer at all: the status is null. A password, also one holding an
  // unencoded "/", never appears.
  result.httpStatus = 0;
  result.attempts = 0;
  result.reason = "malformed URL";
  for (const char* url : {"http://u:qq7/zz8@h/x.bin", "ftp://u:qq7zz8@h:21/x.bin"}) {
    const std::string failed = EntryLine(kDay, url, "/d/x-1.bin", result);
    EXPECT_EQ(failed.find("qq7"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("zz8"), std::string::npos) << failed;
    EXPECT_NE(failed.find("u:***@h"), std::string::npos) << failed;
    EXPECT_NE(failed.find("\"http_status\":null,\"bytes\":0,\"attempts\":0,"), std::string::npos)
        << failed;
  }
}

TEST(ReportLinesTest, RunLineGivesTheRunsStatus) {
  EXPECT_EQ(RunLine(kDay, kDay + 65, 3, 1),
            "{\"event\":\"run\",\"started\":\"2026-12-08T20:41:07Z\","
            "\"ended\":\"2026-12-08T20:42:12Z\",\"entries\":3,\"failed\":1,\"status\":1}\n");
  EXPECT_NE(RunLine(kDay, kDay, 0, 0).find("\"entries\":0,\"failed\":0,\"status\":0}\n"),
            std::string::npos);
}

}  // namespace
}  // namespace modMain
