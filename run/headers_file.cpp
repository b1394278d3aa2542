#include "run/headers_file.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "platform/files.h"

namespace {

constexpr std::string_view kBlank = " \t";

// The headers a request gets from the program itself, whose value it must
// know: a second one would confuse the server or the transfer.
constexpr const char* kOwnHeaders[] = {
    "Host",       "Range",          "If-Range",          "If-None-Match", "If-Modified-Since",
    "Connection", "Content-Length", "Transfer-Encoding",
};

bool Control(char c) {
  return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
}

bool TokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// Whether `url`'s path is `prefix`'s or continues it after a "/".
bool Covers(const fw::UrlPlace& prefix, const fw::UrlPlace& url) {
  const std::string& p = prefix.path;
  return url.origin == prefix.origin && url.path.starts_with(p) &&
         (url.path.size() == p.size() || p.back() == '/' || url.path[p.size()] == '/');
}

// Why a line (trimmed, not blank, no comment) is not taken; nullopt when it
// is, with `prefix` and `header` set.
std::optional<std::string> Refusal(std::string_view line, fw::UrlPlace& prefix,
                                   std::string& header) {
  if (std::any_of(line.begin(), line.end(), Control)) return "it holds a control character";
  const size_t gap = line.find_first_of(kBlank);
  if (gap == std::string_view::npos) return "it has no header after the prefix";
  const std::optional<fw::UrlPlace> place = fw::PlaceOf(std::string(line.substr(0, gap)));
  if (!place) return "its prefix is not an http or https URL";
  if (place->userInfo) return "its prefix holds a user name or password";
  if (place->query || place->fragment) return "its prefix holds a query or fragment";
  const std::string_view rest = Trimmed(line.substr(gap));
  const size_t colon = rest.find(':');
  const std::string_view name = rest.substr(0, colon);
  if (colon == std::string_view::npos || name.empty() ||
      !std::all_of(name.begin(), name.end(), TokenChar)) {
    return "it has no header (Name: value) after the prefix";
  }
  for (const char* own : kOwnHeaders) {
    if (name.size() == std::strlen(own) && strncasecmp(name.data(), own, name.size()) == 0) {
      return std::string(own) + " is the program's own header";
    }
  }
  const std::string_view value = Trimmed(rest.substr(colon + 1));
  if (value.empty()) return "its header has no value";
  prefix = *place;
  header = std::string(name) + ": " + std::string(value);
  return std::nullopt;
}

}  // namespace

RequestHeaders RequestHeaders::Read(const std::string& path) {
  std::string refusal;
  const std::optional<std::string> text = fw::ReadPrivateFile(path, kMaxBytes, &refusal);
  if (text) return Parse(path, *text);
  RequestHeaders none;
  none.refusal_ = refusal.empty() ? path + " does not exist, so it is not used" : refusal;
  none.notices_.push_back("HeadersFile " + none.refusal_);
  return none;
}

RequestHeaders RequestHeaders::Parse(const std::string& path, std::string_view text) {
  RequestHeaders out;
  size_t number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    Line taken;
    if (const auto why = Refusal(line, taken.prefix, taken.header)) {
      ++out.skipped_;
      out.notices_.push_back("HeadersFile " + path + " line " + std::to_string(number) + ": " +
                             *why + ", so the line is not used");
      continue;
    }
    out.lines_.push_back(std::move(taken));
  }
  return out;
}

std::vector<std::string> RequestHeaders::For(const std::string& url) const {
  std::vector<std::string> headers;
  if (lines_.empty()) return headers;
  const std::optional<fw::UrlPlace> place = fw::PlaceOf(url);
  if (!place) return headers;
  for (const Line& line : lines_) {
    if (Covers(line.prefix, *place)) headers.push_back(line.header);
  }
  return headers;
}

std::string RequestHeaders::Summary() const {
  if (!refusal_.empty()) return refusal_;
  std::set<std::pair<std::string, std::string>> prefixes;
  for (const Line& line : lines_) prefixes.emplace(line.prefix.origin, line.prefix.path);
  const auto counted = [](size_t n, const char* one, const char* more) {
    return std::to_string(n) + " " + (n == 1 ? one : more);
  };
  std::string text = counted(lines_.size(), "header", "headers") + " for " +
                     counted(prefixes.size(), "prefix", "prefixes");
  if (skipped_ > 0) text += "; " + counted(skipped_, "line", "lines") + " not used";
  return text;
}
