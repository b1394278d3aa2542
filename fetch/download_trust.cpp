// Whom the session trusts and with what it logs in: the certificates trusted
// on top of the system's, the netrc file, and the logins that went out in clear.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "fetch/download_internal.h"
#include "platform/error.h"
#include "platform/files.h"

namespace fw {
namespace {

// The largest certificate bundle read, the system's or the user's.
constexpr size_t kMaxBundle = size_t{16} << 20;
// The largest netrc file used: libcurl reads it through at every request.
constexpr off_t kMaxNetrc = 1 << 20;

}  // namespace

const char kDefaultUserAgent[] = "fetchwell/" FETCHWELL_VERSION;

// Whether `text` may go in a request's header: no control byte but a tab,
// so that it can never end the header and begin another.
bool HeaderSafe(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f;
  });
}

void DownloadSession::Impl::Trust(const DownloadTrust& trust) {
  headersFor = trust.headers;
  userAgent =
      !trust.userAgent.empty() && HeaderSafe(trust.userAgent) ? trust.userAgent : kDefaultUserAgent;
  caFile = trust.caFile;
  if (!trust.caFile.empty()) {
    // The bundle given replaces libcurl's own, so it is the system's bundle
    // followed by the user's: the extra certificates count on top of it.
    char* system = nullptr;
    CURL* probe = curl_easy_init();
    if (probe && curl_easy_getinfo(probe, CURLINFO_CAINFO, &system) == CURLE_OK && system) {
      try {
        bundle = ReadWholeFile(system, kMaxBundle) + "\n";
      } catch (const Error&) {
        // No system bundle: the system's trust may come from CAPATH alone.
      }
    }
    if (probe) curl_easy_cleanup(probe);
    try {
      const std::string extra = ReadWholeFile(trust.caFile, kMaxBundle);
      if (extra.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        trustError = "no certificate in " + trust.caFile;
      }
      bundle += extra;
    } catch (const Error& e) {
      trustError =
          "cannot read the trusted certificates " + trust.caFile + " (" + e.Description() + ")";
    }
    // When the extra bundle cannot be used, nothing is trusted: Begin() refuses
    // https and ftps URLs, and this fails the TLS handshake after a redirect.
    if (!trustError.empty()) bundle = "no certificate\n";
  }
  if (!trust.netrcFile.empty()) UseNetrc(trust.netrcFile);
}

void DownloadSession::Impl::UseNetrc(const std::string& path) {
  std::string refusal;
  const int fd = OpenPrivateFile(path, kMaxNetrc, &refusal);
  // A missing file is no news: most users have none.
  if (!refusal.empty()) notices.push_back(refusal);
  if (fd < 0) return;
  netrcFd = fd;
  netrcPath = "/proc/self/fd/" + std::to_string(fd);
}

// What libcurl sends and receives (only when the transfer may carry a password,
// see SetOptions): a password that goes out without encryption is noted by its
// origin, for the run to say. Over http that is a Basic login (Digest sends
// no password); over ftp a PASS of a named user (not the anonymous one) on a
// control connection that did not take AUTH TLS.
int Attempt::OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
  if (type != CURLINFO_HEADER_OUT && type != CURLINFO_HEADER_IN) return 0;
  auto* t = static_cast<Attempt*>(self);
  char* url = nullptr;
  curl_easy_getinfo(t->curl, CURLINFO_EFFECTIVE_URL, &url);
  if (url == nullptr) return 0;
  const std::string_view text(data, size);
  const bool http = strncasecmp(url, "http://", 7) == 0;
  const bool ftp = strncasecmp(url, "ftp://", 6) == 0;
  bool clear = false;
  if (ftp && type == CURLINFO_HEADER_IN) {
    if (text.starts_with("234")) t->controlTls = true;  // AUTH taken: TLS from now on
  } else if (ftp && !t->controlTls) {
    if (text.size() > 5 && strncasecmp(text.data(), "USER ", 5) == 0) {
      t->ftpUser = std::string(text.substr(5, text.find_first_of("\r\n") - 5));
    }
    clear = text.size() > 5 && strncasecmp(text.data(), "PASS ", 5) == 0 &&
            strcasecmp(t->ftpUser.c_str(), "anonymous") != 0 &&
            strcasecmp(t->ftpUser.c_str(), "ftp") != 0;
  } else if (http && type == CURLINFO_HEADER_OUT) {
    for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
      const std::string_view rest = text.substr(at + 1);
      clear =
          clear || (rest.size() > 21 && strncasecmp(rest.data(), "Authorization: Basic ", 21) == 0);
    }
  }
  auto& origins = t->session->clearOrigins;
  const std::string origin = clear ? OriginOf(url) : std::string();
  if (!origin.empty() && std::find(origins.begin(), origins.end(), origin) == origins.end()) {
    origins.push_back(origin);
  }
  return 0;
}

std::vector<std::string> DownloadSession::RunNotes() const {
  const std::vector<std::string>& origins = impl_->clearOrigins;
  if (origins.empty()) return {};
  std::string line = "a password was sent unencrypted, to " + origins.front();
  if (origins.size() > 1) line += " and " + std::to_string(origins.size() - 1) + " more";
  return {line + "; https or ftps would keep it secret"};
}

}  // namespace fw
