// Why a transfer failed, in a short text for the user that never shows a
// password, and whether the failure may pass by itself.
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "fetch/download_internal.h"
#include "fetch/url_userinfo.h"

namespace fw {
namespace {

constexpr char kChanged[] = "changed on the server while it was fetched";
constexpr char kDowngrade[] = "redirect from https to http refused";

// What libcurl's codes say when nothing more is known.
constexpr struct {
  CURLcode code;
  const char* text;
} kCodeTexts[] = {
    {CURLE_COULDNT_CONNECT, "could not connect"},
    {CURLE_COULDNT_RESOLVE_HOST, "could not resolve host"},
    {CURLE_COULDNT_RESOLVE_PROXY, "could not resolve proxy"},
    {CURLE_PEER_FAILED_VERIFICATION, "certificate not trusted"},
    {CURLE_SSL_CACERT_BADFILE, "cannot read the trusted certificates"},
    {CURLE_SSL_CONNECT_ERROR, "TLS handshake failed"},
    {CURLE_TOO_MANY_REDIRECTS, "too many redirects"},
    {CURLE_UNSUPPORTED_PROTOCOL, "protocol not supported"},
    {CURLE_WEIRD_SERVER_REPLY, "unexpected reply from the server"},
    {CURLE_URL_MALFORMAT, "malformed URL"},
    {CURLE_GOT_NOTHING, "empty reply from server"},
    {CURLE_RECV_ERROR, "receive failed"},
    {CURLE_SEND_ERROR, "send failed"},
    {CURLE_FILE_COULDNT_READ_FILE, "cannot read the file"},
    {CURLE_REMOTE_FILE_NOT_FOUND, "not found on the server"},
    {CURLE_REMOTE_ACCESS_DENIED, "access denied by the server"},
    {CURLE_LOGIN_DENIED, "login denied"},
    {CURLE_OUT_OF_MEMORY, "out of memory"},
};

// What they say when the system's error of the connection is one of these.
constexpr struct {
  CURLcode code;
  long osError;
  const char* text;
} kSystemTexts[] = {
    {CURLE_COULDNT_CONNECT, ECONNREFUSED, "connection refused"},
    {CURLE_COULDNT_CONNECT, ENETUNREACH, "network unreachable"},
    {CURLE_COULDNT_CONNECT, EHOSTUNREACH, "host unreachable"},
    {CURLE_COULDNT_CONNECT, ETIMEDOUT, "no connection (timed out)"},
    {CURLE_RECV_ERROR, ECONNRESET, "connection reset"},
    {CURLE_SEND_ERROR, ECONNRESET, "connection reset"},
};

// Failures that may pass by itself, so that another attempt is worth it.
constexpr long kTransientStatuses[] = {408, 425, 429, 500, 502, 503, 504};
constexpr CURLcode kTransientCodes[] = {
    CURLE_COULDNT_CONNECT, CURLE_COULDNT_RESOLVE_HOST, CURLE_OPERATION_TIMEDOUT, CURLE_PARTIAL_FILE,
    CURLE_GOT_NOTHING, CURLE_RECV_ERROR, CURLE_SEND_ERROR,
    // An HTTP/2 stream reset by the server, or its connection broken.
    CURLE_HTTP2, CURLE_HTTP2_STREAM};

template <typename T, size_t n>
bool Holds(const T (&values)[n], T value) {
  return std::find(std::begin(values), std::end(values), value) != std::end(values);
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
  if (std::string reason = DetailedReason(rc, osError); !reason.empty()) return reason;
  for (const auto& known : kSystemTexts) {
    if (known.code == rc && known.osError == osError) return known.text;
  }
  for (const auto& known : kCodeTexts) {
    if (known.code == rc) return known.text;
  }
  return *errbuf ? std::string(errbuf) : std::string(curl_easy_strerror(rc));
}

// The reason of a code that takes more than the code to tell; empty when the
// tables above tell it.
std::string Attempt::DetailedReason(CURLcode rc, long osError) {
  long redirects = 0;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
  const char* detail = errbuf;
  const DownloadSession::Impl& s = *session;
  // libcurl refuses an answer with no status line as HTTP/0.9, and one whose
  // status line it cannot read as of an unsupported version or as weird.
  if ((rc == CURLE_UNSUPPORTED_PROTOCOL &&
       (std::strstr(detail, "HTTP/0.9") || StartsWith(detail, "Unsupported HTTP version"))) ||
      (rc == CURLE_WEIRD_SERVER_REPLY && status == 0 && std::strstr(detail, "HTTP"))) {
    return "not an HTTP answer (malformed status line)";
  }
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
      return noSocket || NoDescriptor(static_cast<int>(osError)) ? kNoDescriptors : "";
    case CURLE_OPERATION_TIMEDOUT:
      return "no connection within " + std::to_string(s.limits.connectTimeout) + " s";
    case CURLE_COULDNT_RESOLVE_HOST:
      if (DescriptorsExhausted()) return kNoDescriptors;
      return StartsWith(detail, "Could not resolve host: ")
                 ? "could not resolve host " + std::string(detail + 24)
                 : "";
    case CURLE_PEER_FAILED_VERIFICATION:
      if (!s.trustError.empty()) return s.trustError;  // an https redirect's target
      if (std::strstr(detail, "subject name") || std::strstr(detail, "does not match")) {
        return "certificate does not match the host name";
      }
      return StartsWith(detail, "SSL certificate problem: ")
                 ? "certificate not trusted (" + std::string(detail + 25) + ")"
                 : "";
    case CURLE_SSL_CACERT_BADFILE:
      // The extra bundle could not be used (see Trust()), or holds something
      // that looks like a certificate but is none.
      if (!s.trustError.empty()) return s.trustError;
      return s.caFile.empty() ? "" : "cannot read the trusted certificates " + s.caFile;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return redirects > 0 ? "redirect to a protocol that is not allowed" : "";
    case CURLE_WEIRD_SERVER_REPLY:
      return *detail ? "unexpected reply from the server (" + std::string(detail) + ")" : "";
    case CURLE_URL_MALFORMAT:
      return redirects > 0 || StartsWith(detail, "The redirect target")
                 ? "redirect to a malformed URL"
                 : "";
    case CURLE_PARTIAL_FILE: {
      curl_off_t length = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      std::string of = length >= 0 ? " of " + std::to_string(length) : std::string();
      return "connection closed after " + std::to_string(received) + of + " bytes";
    }
    case CURLE_OUT_OF_MEMORY:
      // libcurl says this also when it cannot set up its resolver's pipe.
      if (DescriptorsExhausted()) return kNoDescriptors;
      // libcurl gives this, with no message, for a header line over its 100 KB
      // limit: an HTTP answer whose headers are still coming is that case.
      return IsHttp() && waiting && !headersDone ? "header too long from the server" : "";
    default:
      return {};
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
  return stalled || cutShort ||
         Holds(kTransientStatuses, refusedStatus ? refusedStatus : info.status) ||
         (refusedStatus == 0 && info.status < 400 && Holds(kTransientCodes, rc));
}

}  // namespace fw
