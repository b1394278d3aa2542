#include "startup/names.h"

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

std::string StripExtension(const std::string& n) {
  const auto dot = n.find('.');
  return dot == std::string::npos ? std::string() : n.substr(0, dot);
}

std::string GetExtension(const std::string& n) {
  const auto dot = n.rfind('.');
  return dot == std::string::npos ? n : n.substr(dot + 1);
}

}  // namespace modMain
