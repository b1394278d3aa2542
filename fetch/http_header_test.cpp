#include "fetch/http_header.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

namespace {

// Only one range of a known length, exactly of the form, is taken: anything a
// lying server might send otherwise is refused, never read as some range.
TEST(HttpHeaderTest, AContentRangeIsOneRangeOfAKnownLength) {
  using Range = std::optional<fw::ByteRange>;
  const std::pair<const char*, Range> cases[] = {
      {"bytes 0-99/100", fw::ByteRange{0, 99, 100}},
      {"BYTES 65536-99999/100000", fw::ByteRange{65536, 99999, 100000}},
      {"bytes 5-5/6", fw::ByteRange{5, 5, 6}},
      {"bytes 0-0/999999999999999999", fw::ByteRange{0, 0, 999999999999999999}},
      {"bytes */100", {}},
      {"bytes 0-99/*", {}},
      {"bytes 10-9/100", {}},
      {"bytes 0-100/100", {}},
      {"bytes -1-99/100", {}},
      {"bytes +0-99/100", {}},
      {"bytes 0 -99/100", {}},
      {"bytes 0-99/100 ", {}},
      {"bytes 0-49,50-99/100", {}},
      {"items 0-99/100", {}},
      {"bytes 0-99/1000000000000000000", {}},
      {"", {}},
  };
  for (const auto& [value, expected] : cases) {
    const Range range = fw::ParseContentRange(value);
    ASSERT_EQ(range.has_value(), expected.has_value()) << value;
    if (!range) continue;
    EXPECT_EQ(range->first, expected->first) << value;
    EXPECT_EQ(range->last, expected->last) << value;
    EXPECT_EQ(range->length, expected->length) << value;
  }
}

TEST(HttpHeaderTest, ValuesAreReadExactlyOrRefused) {
  for (const char* refused : {"", "-1", "+5", "5 ", "0x10", "1e3", "1234567890123456789"}) {
    EXPECT_EQ(fw::ByteCount(refused), -1) << refused;
  }
  EXPECT_EQ(fw::ByteCount("123456789012345678"), 123456789012345678);
  std::string value;
  EXPECT_TRUE(fw::HeaderValue("ETag: \t\"a b\" \r\n", "etag", &value));
  EXPECT_EQ(value, "\"a b\"");
  EXPECT_FALSE(fw::HeaderValue("ETagged: x\r\n", "etag", &value));
  EXPECT_EQ(fw::RetryAfterSeconds("120"), 120);
  EXPECT_EQ(fw::RetryAfterSeconds("99999999999"), 1L << 30);
  EXPECT_EQ(fw::RetryAfterSeconds("Wed, 21 Oct 2015 07:28:00 GMT"), 0);  // past: at once
  for (const char* refused : {"-5", "soon", "12s", ""}) {
    EXPECT_EQ(fw::RetryAfterSeconds(refused), -1) << refused;
  }
}

}  // namespace
