#include "startup/names.h"

#include <algorithm>

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
  const auto scheme = u.find("://");
  const std::string::size_type start = scheme == std::string::npos ? 0 : scheme + 3;
  const auto end = std::min(u.find_first_of("/?#", start), u.size());
  const auto at = end == 0 ? std::string::npos : u.rfind('@', end - 1);
  if (at == std::string::npos || at < start) return {};
  return {start, at};
}

std::string WithoutUserInfo(const std::string& u) {
  const UserInfo info = FindUserInfo(u);
  if (info.at == std::string::npos) return u;
  return u.substr(0, info.start) + u.substr(info.at + 1);
}

std::string StripExtension(const std::string& n) {
  const auto dot = n.find('.');
  return dot == std::string::npos ? std::string() : n.substr(0, dot);
}

std::string GetExtension(const std::string& n) {
  const auto dot = n.rfind('.');
  return dot == std::string::npos ? n : n.substr(dot + 1);
}

}  // namespace modMain
