#include "run/report_lines.h"

#include <cstdio>

#include "run/names.h"

namespace modMain {
namespace {

// The length of the valid UTF-8 sequence that starts `text` at `at`, or 0 when
// the byte there starts none.
size_t Utf8Length(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const auto follows = [&](size_t i, unsigned lo = 0x80, unsigned hi = 0xBF) {
    return byte(i) >= lo && byte(i) <= hi;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return follows(1) ? 2 : 0;
  // The second byte's range rules out overlong forms, surrogates and code
  // points above U+10FFFF.
  unsigned lo = 0x80, hi = 0xBF;
  if (lead == 0xE0) lo = 0xA0;
  if (lead == 0xED) hi = 0x9F;
  if (lead == 0xF0) lo = 0x90;
  if (lead == 0xF4) hi = 0x8F;
  if (lead >= 0xE0 && lead <= 0xEF) return follows(1, lo, hi) && follows(2) ? 3 : 0;
  if (lead >= 0xF0 && lead <= 0xF4) {
    return follows(1, lo, hi) && follows(2) && follows(3) ? 4 : 0;
  }
  return 0;
}

std::string Bool(bool value) {
  return value ? "true" : "false";
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = Utf8Length(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20 || c == 0x7f) {
      char buf[7];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
      ++at;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out + "\"";
}

std::string UtcTime(std::time_t when) {
  std::tm utc{};
  char buf[32];
  if (gmtime_r(&when, &utc) == nullptr ||
      std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    return "1970-01-01T00:00:00Z";  // a time no calendar can hold
  }
  return buf;
}

std::string EntryLine(std::time_t when, const std::string& url, const std::string& file,
                      const fw::SnapshotResult& result) {
  return "{\"event\":\"entry\",\"time\":\"" + UtcTime(when) +
         "\",\"url\":" + JsonString(HidePassword(url)) + ",\"file\":" + JsonString(file) +
         ",\"ok\":" + Bool(result.ok) + ",\"http_status\":" +
         (result.httpStatus == 0 ? "null" : std::to_string(result.httpStatus)) +
         ",\"bytes\":" + std::to_string(result.bytes) +
         ",\"attempts\":" + std::to_string(result.attempts) +
         ",\"unchanged\":" + Bool(result.ok && result.fresh) +
         ",\"reason\":" + (result.ok ? "null" : JsonString(result.reason)) + "}\n";
}

std::string RunLine(std::time_t started, std::time_t ended, int entries, int failed) {
  return "{\"event\":\"run\",\"started\":\"" + UtcTime(started) + "\",\"ended\":\"" +
         UtcTime(ended) + "\",\"entries\":" + std::to_string(entries) +
         ",\"failed\":" + std::to_string(failed) + ",\"status\":" + (failed > 0 ? "1" : "0") +
         "}\n";
}

}  // namespace modMain
