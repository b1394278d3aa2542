#include "run/names.h"

#include <algorithm>
#include <vector>

namespace modMain {

std::string FixPath(const std::string& p) {
  if (!p.empty() && p.back() == '/') return p;
  return p + "/";
}

std::string GetFileFromURL(const std::string& u) {
  const auto slash = u.rfind('/');
  return slash == std::string::npos ? u : u.substr(slash + 1);
}

UserInfo FindUserInfo(const std::string& u) {
  return fw::FindUserInfo(u);
}

std::string WithoutUserInfo(const std::string& u) {
  const UserInfo info = FindUserInfo(u);
  if (info.at == std::string::npos) return u;
  return u.substr(0, info.start) + u.substr(info.at + 1);
}

std::string HidePassword(const std::string& url) {
  const UserInfo info = FindUserInfo(url);
  if (info.at == std::string::npos) return url;
  const auto colon = url.find(':', info.start);
  if (colon == std::string::npos || colon > info.at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(info.at);
}

std::string StripExtension(const std::string& n) {
  const auto dot = n.find('.');
  return dot == std::string::npos ? std::string() : n.substr(0, dot);
}

std::string GetExtension(const std::string& n) {
  const auto dot = n.rfind('.');
  return dot == std::string::npos ? n : n.substr(dot + 1);
}

namespace {

bool Continues(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string CutAtCharacter(const std::string& s, size_t most) {
  if (s.size() <= most) return s;
  size_t end = most;
  while (end > 0 && Continues(s[end])) --end;
  return s.substr(0, end);
}

void FitDatedName(std::string& stem, std::string& extension, size_t dateBytes, size_t limit) {
  const size_t fixed = dateBytes + 2;  // "-" and "."
  if (fixed > limit) {
    stem.clear();
    extension.clear();
    return;
  }
  const size_t room = limit - fixed;
  if (stem.size() + extension.size() <= room) return;
  if (extension.size() <= room) {
    stem = CutAtCharacter(stem, room - extension.size());
  } else {
    stem.clear();
    extension = CutAtCharacter(extension, room);
  }
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The raw last segment of the path of `url`: the authority begins after a
// "://" that no "/", "?" or "#" comes before (else at the start) and ends at
// the first of these; the path runs from its "/" to the first "?" or "#".
std::string LastPathSegment(const std::string& url) {
  const size_t scheme = url.find("://");
  const bool hasScheme = scheme != std::string::npos && url.find_first_of("/?#") > scheme;
  const size_t path = url.find_first_of("/?#", hasScheme ? scheme + 3 : 0);
  if (path == std::string::npos || url[path] != '/') return "";
  const size_t end = std::min(url.find_first_of("?#", path), url.size());
  const size_t slash = url.rfind('/', end - 1);
  return url.substr(slash + 1, end - slash - 1);
}

// The length of the valid UTF-8 character at the start of `b` (`n` bytes),
// or 0 when there is none there (a stray or overlong form, a surrogate, beyond
// U+10FFFF) or it is a control character.
size_t CharacterAt(const unsigned char* b, size_t n) {
  if (b[0] < 0x80) return b[0] < 0x20 || b[0] == 0x7f ? 0 : 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (b[0] >= 0xC2 && b[0] <= 0xDF) {
    length = 2;
  } else if (b[0] >= 0xE0 && b[0] <= 0xEF) {
    length = 3;
    if (b[0] == 0xE0) low = 0xA0;
    if (b[0] == 0xED) high = 0x9F;
  } else if (b[0] >= 0xF0 && b[0] <= 0xF4) {
    length = 4;
    if (b[0] == 0xF0) low = 0x90;
    if (b[0] == 0xF4) high = 0x8F;
  }
  if (length == 0 || n < length || b[1] < low || b[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (b[i] < 0x80 || b[i] > 0xBF) return 0;
  }
  if (b[0] == 0xC2 && b[1] <= 0x9F) return 0;  // U+0080 to U+009F
  return length;
}

}  // namespace

std::string PathSegmentName(const std::string& url) {
  const std::string raw = LastPathSegment(url);
  // Each byte as decoded, with the text it came from ("%XX" or itself).
  std::string bytes;
  std::vector<std::string> written;
  for (size_t i = 0; i < raw.size(); ++i) {
    const int high = i + 2 < raw.size() && raw[i] == '%' ? HexValue(raw[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(raw[i + 2]) : -1;
    if (low >= 0) {
      bytes += static_cast<char>(high * 16 + low);
      written.push_back(raw.substr(i, 3));
      i += 2;
    } else {
      bytes += raw[i];
      written.emplace_back(1, raw[i]);
    }
  }
  std::string name;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = CharacterAt(b + i, bytes.size() - i);
    if (length > 0 && bytes[i] != '/') {
      name.append(bytes, i, length);
      i += length;
      continue;
    }
    // Encoded as it was; a raw byte that cannot stand in a name is encoded now.
    static const char kHex[] = "0123456789ABCDEF";
    const std::string& as = written[i];
    name += as.size() == 3 ? as : std::string{'%', kHex[b[i] >> 4], kHex[b[i] & 15]};
    ++i;
  }
  const size_t start = name.find_first_not_of(".-");
  return start == std::string::npos ? "index" : name.substr(start);
}

fw::NameShape NameShapeOf(const std::string& url, NameRule rule) {
  if (rule == NameRule::kUrl) {
    const std::string name = GetFileFromURL(url);
    return {StripExtension(name), GetExtension(name), true};
  }
  const std::string name = PathSegmentName(url);
  const size_t dot = name.find('.');
  if (dot == std::string::npos || dot + 1 == name.size()) {
    return {name.substr(0, dot), "", false};
  }
  return {name.substr(0, dot), name.substr(dot + 1), true};
}

void FitNameShape(fw::NameShape& shape, NameRule rule, size_t dateBytes, size_t limit) {
  if (rule == NameRule::kUrl) {
    FitDatedName(shape.stem, shape.extension, dateBytes, limit);
    return;
  }
  const size_t fixed = dateBytes + 1;                     // "-"
  const size_t room = limit > fixed ? limit - fixed : 0;  // for the stem and any "." + extension
  const size_t tail = shape.dotted ? 1 + shape.extension.size() : 0;
  if (shape.stem.size() + tail <= room) return;
  size_t first = 1;  // the stem's first character, never cut
  while (first < shape.stem.size() && Continues(shape.stem[first])) ++first;
  if (first > room) {
    // No name fits: one without a stem would begin with "-".
    shape.stem.resize(first);
    shape.extension.clear();
    shape.dotted = false;
  } else if (first + tail <= room) {
    shape.stem = CutAtCharacter(shape.stem, room - tail);
  } else {
    shape.stem.resize(first);
    shape.extension = first + 1 < room ? CutAtCharacter(shape.extension, room - first - 1) : "";
    shape.dotted = !shape.extension.empty();
  }
}

std::string DatedName(const fw::NameShape& shape, const std::string& date) {
  return shape.stem + "-" + date + (shape.dotted ? "." + shape.extension : "");
}

std::string ShownUrl(const std::string& url) {
  if (url.size() <= kMostShownUrl) return url;
  static const std::string kEllipsis = "\xE2\x80\xA6";  // "…"
  const size_t half = (kMostShownUrl - kEllipsis.size()) / 2;
  size_t from = url.size() - half;
  while (from < url.size() && Continues(url[from])) ++from;
  return CutAtCharacter(url, kMostShownUrl - kEllipsis.size() - half) + kEllipsis +
         url.substr(from);
}

std::string ShownUrlsIn(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    const size_t end = space == std::string::npos ? text.size() : space;
    const std::string word = text.substr(at, end - at);
    out += word.size() > kMostShownUrl && word.find("://") != std::string::npos ? ShownUrl(word)
                                                                                : word;
    if (space == std::string::npos) break;
    out += ' ';
    at = space + 1;
  }
  return out;
}

}  // namespace modMain
