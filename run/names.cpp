#include "run/names.h"

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
