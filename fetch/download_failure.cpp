// Why a transfer failed, in a short text for the user that never shows a
// password, and whether the failure may pass by itself.
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fetch/download_internal.h"
#include "fetch/url_userinfo.h"

namespace fw {
namespace {

constexpr char kChanged[] = "changed on the server while it was fetched";
constexpr char kDowngrade[] = "redirect from https to http refused";

// Whether a failure may pass by itself, so that another attempt is worth it.
bool TransientStatus(long status) {
  switch (status) {
    case 408:
    case 425:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

bool TransientCode(CURLcode rc) {
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    // An HTTP/2 stream reset by the server, or its connection broken.
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Whether the process cannot open one more descriptor now. libcurl does not
// say why a name could not be resolved or a handle not set up; asking the
// system right after tells a shortage of descriptors from other causes.
bool DescriptorsExhausted() {
  const int fd = eventfd(0, EFD_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return false;
  }
  return NoDescriptor(errno);
}

}  // namespace

bool NoDescriptor(int error) {
  return error == EMFILE || error == ENFILE;
}

std::string ShortageNamed(std::string reason) {
  for (int error : {EMFILE, ENFILE}) {
    const std::string text = std::strerror(error);
    if (reason.size() >= text.size() &&
        reason.compare(reason.size() - text.size(), text.size(), text) == 0) {
      return kNoDescriptors;
    }
  }
  return reason;
}

void AddSecrets(const std::string& url, std::vector<std::string>* secrets) {
  const UserInfo info = FindUserInfo(url);
  if (info.at == std::string::npos) return;
  std::string userinfo = url.substr(info.start, info.at - info.start);
  size_t colon = userinfo.find(':');
  if (colon == std::string::npos || colon + 1 == userinfo.size()) return;
  std::string password = userinfo.substr(colon + 1);
  secrets->push_back(userinfo);
  secrets->push_back(password);
  int length = 0;
  if (char* decoded = curl_easy_unescape(nullptr, password.c_str(),
                                         static_cast<int>(password.size()), &length)) {
    secrets->emplace_back(decoded, static_cast<size_t>(length));
    curl_free(decoded);
  }
}

std::string Scrubbed(std::string text, std::vector<std::string> secrets) {
  // Longest first, so that a password inside a user information goes with it.
  std::sort(secrets.begin(), secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3)) {
      text.replace(at, secret.size(), "***");
    }
  }
  return text;
}

// For HTTP only a 2xx final answer whose body came whole (a continued
// transfer's 206 included) is a success, for a local file only all of its bytes.
std::string Attempt::Reason(CURLcode rc) {
  if (!fileError.empty()) return fileError;
  if (!progressError.empty()) return "progress report failed: " + progressError;
  if (outOfTime) return kOutOfTime;
  if (downgraded) return kDowngrade;
  if (stalled) return "no data for " + std::to_string(session->limits.stallTimeout) + " s";
  if (changed) return kChanged;
  if (refusedStatus) return refusal.empty() ? StatusReason(refusedStatus) : refusal;
  if (status >= 400) return StatusReason(status);
  if (rc != CURLE_OK) return CurlReason(rc);
  const bool continued = offset > 0 && status == 206;
  if (status != 0 && !Whole2xx(status) && !continued) return StatusReason(status);
  // A body as long as announced: a continued one the rest of the resource. A
  // 204 has no body, whatever its headers say.
  const int64_t expected = continued ? total - (offset - overlap) : announced;
  if (status != 0 && status != 204 && expected >= 0 && received != expected) {
    cutShort = received < expected;
    return "body of " + std::to_string(received) + " bytes, " + std::to_string(expected) +
           " announced";
  }
  if (localSize >= 0 && received != localSize) return "the file changed while it was read";
  return {};
}

std::string Attempt::StatusReason(long code) const {
  if (code >= 300 && code < 400 && code != 304 && !hasLocation) {
    return "redirect without a Location";
  }
  return "HTTP " + std::to_string(code);
}

std::string Attempt::CurlReason(CURLcode rc) {
  long osError = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
  long redirects = 0;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
  const char* detail = errbuf;
  const DownloadSession::Impl& s = *session;
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
      if (noSocket || NoDescriptor(static_cast<int>(osError))) return kNoDescriptors;
      if (osError == ECONNREFUSED) return "connection refused";
      if (osError == ENETUNREACH) return "network unreachable";
      if (osError == EHOSTUNREACH) return "host unreachable";
      if (osError == ETIMEDOUT) return "no connection (timed out)";
      return "could not connect";
    case CURLE_OPERATION_TIMEDOUT:
      return "no connection within " + std::to_string(s.limits.connectTimeout) + " s";
    case CURLE_COULDNT_RESOLVE_HOST:
      if (DescriptorsExhausted()) return kNoDescriptors;
      if (StartsWith(detail, "Could not resolve host: ")) {
        return "could not resolve host " + std::string(detail + 24);
      }
      return "could not resolve host";
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "could not resolve proxy";
    case CURLE_PEER_FAILED_VERIFICATION:
      if (!s.trustError.empty()) return s.trustError;  // an https redirect's target
      if (std::strstr(detail, "subject name") || std::strstr(detail, "does not match")) {
        return "certificate does not match the host name";
      }
      if (StartsWith(detail, "SSL certificate problem: ")) {
        return "certificate not trusted (" + std::string(detail + 25) + ")";
      }
      return "certificate not trusted";
    case CURLE_SSL_CACERT_BADFILE:
      // The extra bundle could not be used (see Trust()), or holds something
      // that looks like a certificate but is none.
      if (!s.trustError.empty()) return s.trustError;
      return s.caFile.empty() ? "cannot read the trusted certificates"
                              : "cannot read the trusted certificates " + s.caFile;
    case CURLE_SSL_CONNECT_ERROR:
      return "TLS handshake failed";
    case CURLE_TOO_MANY_REDIRECTS:
      return "too many redirects";
    case CURLE_UNSUPPORTED_PROTOCOL:
      // libcurl refuses an answer with no status line as HTTP/0.9, and one whose
      // status line it cannot read as of an unsupported version.
      if (std::strstr(detail, "HTTP/0.9") || StartsWith(detail, "Unsupported HTTP version")) {
        return "not an HTTP answer (malformed status line)";
      }
      return redirects > 0 ? "redirect to a protocol that is not allowed"
                           : "protocol not supported";
    case CURLE_WEIRD_SERVER_REPLY:
      if (status == 0 && std::strstr(detail, "HTTP")) {
        return "not an HTTP answer (malformed status line)";
      }
      return *detail ? "unexpected reply from the server (" + std::string(detail) + ")"
                     : "unexpected reply from the server";
    case CURLE_URL_MALFORMAT:
      return redirects > 0 || StartsWith(detail, "The redirect target")
                 ? "redirect to a malformed URL"
                 : "malformed URL";
    case CURLE_PARTIAL_FILE: {
      curl_off_t length = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      std::string of = length >= 0 ? " of " + std::to_string(length) : std::string();
      return "connection closed after " + std::to_string(received) + of + " bytes";
    }
    case CURLE_GOT_NOTHING:
      return "empty reply from server";
    case CURLE_RECV_ERROR:
      return osError == ECONNRESET ? "connection reset" : "receive failed";
    case CURLE_SEND_ERROR:
      return osError == ECONNRESET ? "connection reset" : "send failed";
    case CURLE_FILE_COULDNT_READ_FILE:
      return "cannot read the file";
    case CURLE_REMOTE_FILE_NOT_FOUND:
      return "not found on the server";
    case CURLE_REMOTE_ACCESS_DENIED:
      return "access denied by the server";
    case CURLE_LOGIN_DENIED:
      return "login denied";
    case CURLE_OUT_OF_MEMORY:
      // libcurl says this also when it cannot set up its resolver's pipe.
      if (DescriptorsExhausted()) return kNoDescriptors;
      // libcurl gives this, with no message, for a header line over its 100 KB
      // limit: an HTTP answer whose headers are still coming is that case.
      if (IsHttp() && waiting && !headersDone) return "header too long from the server";
      return "out of memory";
    default:
      return *detail ? std::string(detail) : std::string(curl_easy_strerror(rc));
  }
}

// Whether the transfer (its latest request, after redirects) speaks HTTP.
bool Attempt::IsHttp() {
  char* scheme = nullptr;
  return curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) == CURLE_OK && scheme &&
         strncasecmp(scheme, "http", 4) == 0;
}

// A failure of the file, the progress report, the deadline, a refused
// downgrade or a local source does not pass by itself; nor does a shortage of
// descriptors, which is the run's own.
bool Attempt::MayPass(const std::string& reason) const {
  return !local && fileError.empty() && progressError.empty() && !outOfTime && !downgraded &&
         reason != kNoDescriptors;
}

// A stall, a body cut short, a status that may pass (also one refused), or a
// code of libcurl's that may (when the status says nothing worse).
bool Attempt::Transient(CURLcode rc) const {
  return stalled || cutShort || TransientStatus(refusedStatus ? refusedStatus : info.status) ||
         (refusedStatus == 0 && info.status < 400 && TransientCode(rc));
}

}  // namespace fw
