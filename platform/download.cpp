#include "platform/download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"

#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0
#endif

namespace fw {
namespace {

// libcurl's receive buffer: large reads mean few write callbacks for big bodies.
constexpr long kReceiveBuffer = 512 * 1024;
// Our own write buffer: small pieces are gathered before they reach the file,
// and pieces of half this size or more are written straight through.
constexpr size_t kWriteBuffer = 1024 * 1024;
// A large body is handed to the disk in steps of this size while it arrives, so
// that flushing it before the rename has little left to do.
constexpr int64_t kWritebackStep = 8 * 1024 * 1024;

const std::string& GlobalInitError() {
  static const std::string error = [] {
    CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    return rc == CURLE_OK ? std::string()
                          : std::string("cannot start libcurl: ") + curl_easy_strerror(rc);
  }();
  return error;
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

using Clock = std::chrono::steady_clock;

struct DownloadSession::Impl {
  DownloadLimits limits;
  CURL* curl = nullptr;
  std::string startError;  // why there is no handle
  char errbuf[CURL_ERROR_SIZE] = {};
  std::string lastError;
  std::function<void(const DownloadProgress&)> progress;
  std::vector<char> buffer;

  // State of the fetch under way.
  TempFile* temp = nullptr;
  size_t buffered = 0;
  int64_t received = 0;
  int64_t written = 0;
  int64_t handedToDisk = 0;
  long refusedStatus = 0;  // an HTTP error status whose body was refused
  bool waiting = false;    // a request is out and its answer is awaited
  Clock::time_point lastHeard{};
  bool stalled = false;
  std::string fileError;      // the temporary file could not be written
  std::string progressError;  // the progress callback raised

  void Configure();
  bool Run(const std::string& url, const std::string& path);
  void Append(const char* data, size_t size);
  void Flush();
  void WriteThrough(const char* data, size_t size);
  long HttpStatus();
  std::string Reason(CURLcode rc);

  static size_t OnData(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnRequest(void* self, char*, char*, int, int);
  static int OnTransferInfo(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t);
};

void DownloadSession::Impl::Configure() {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps,file");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Fetchwell/" FETCHWELL_VERSION);
  // 0 or less leaves libcurl's own limits: 300 s to connect, no stall limit.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                   limits.connectTimeout > 0 ? limits.connectTimeout : 0L);
  if (limits.stallTimeout > 0) {
    // libcurl judges speed over a window of several seconds, so after a burst it
    // notices a stall late; OnTransferInfo watches for one to the second.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallTimeout);
  }
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnRequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
}

// The response code when the transfer speaks HTTP, 0 otherwise (FTP replies also
// come as response codes, and must not be read as HTTP statuses).
long DownloadSession::Impl::HttpStatus() {
  char* scheme = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) != CURLE_OK || !scheme ||
      strncasecmp(scheme, "http", 4) != 0) {
    return 0;
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

// A connection is ready and a request about to go out (also after each
// redirect): from now on, silence counts as a stall.
int DownloadSession::Impl::OnRequest(void* self, char*, char*, int, int) {
  auto* s = static_cast<Impl*>(self);
  s->waiting = true;
  s->lastHeard = Clock::now();
  return CURL_PREREQFUNC_OK;
}

size_t DownloadSession::Impl::OnHeader(char*, size_t size, size_t count, void* self) {
  static_cast<Impl*>(self)->lastHeard = Clock::now();
  return size * count;
}

size_t DownloadSession::Impl::OnData(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<Impl*>(self);
  s->lastHeard = Clock::now();
  // libcurl already fails on an error status; this also covers the cases where
  // it would pass an error page through (some authentication replies).
  if (long status = s->HttpStatus(); status >= 400) {
    s->refusedStatus = status;
    return CURL_WRITEFUNC_ERROR;
  }
  try {
    s->Append(data, size * count);
  } catch (const Error& e) {
    s->fileError = e.Description();
    return CURL_WRITEFUNC_ERROR;
  } catch (const std::bad_alloc&) {
    s->fileError = "out of memory";
    return CURL_WRITEFUNC_ERROR;
  }
  return size * count;
}

int DownloadSession::Impl::OnTransferInfo(void* self, curl_off_t, curl_off_t now, curl_off_t,
                                          curl_off_t) {
  auto* s = static_cast<Impl*>(self);
  // Called at least once a second, also while nothing arrives.
  if (s->waiting && s->limits.stallTimeout > 0 &&
      Clock::now() - s->lastHeard >= std::chrono::seconds(s->limits.stallTimeout)) {
    s->stalled = true;
    return 1;
  }
  if (!s->progress) return 0;
  curl_off_t total = -1;
  curl_easy_getinfo(s->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
  DownloadProgress p;
  p.bytes = now;
  p.total = total >= 0 ? total : -1;
  try {
    s->progress(p);
  } catch (const std::exception& e) {
    s->progressError = e.what();
    return 1;
  } catch (...) {
    s->progressError = "unknown error";
    return 1;
  }
  return 0;
}

void DownloadSession::Impl::Append(const char* data, size_t size) {
  received += static_cast<int64_t>(size);
  if (buffered + size > buffer.size()) Flush();
  if (size >= buffer.size() / 2) {
    WriteThrough(data, size);
  } else {
    std::memcpy(buffer.data() + buffered, data, size);
    buffered += size;
  }
}

void DownloadSession::Impl::Flush() {
  if (buffered == 0) return;
  size_t size = buffered;
  buffered = 0;
  WriteThrough(buffer.data(), size);
}

void DownloadSession::Impl::WriteThrough(const char* data, size_t size) {
  temp->Write(std::string_view(data, size));
  written += static_cast<int64_t>(size);
  if (written - handedToDisk >= kWritebackStep) {
    // Start writing this stretch to disk now, without waiting for it.
    sync_file_range(temp->fd(), handedToDisk, written - handedToDisk, SYNC_FILE_RANGE_WRITE);
    handedToDisk = written;
  }
}

bool DownloadSession::Impl::Run(const std::string& url, const std::string& path) {
  if (!curl) {
    lastError = startError;
    return false;
  }
  struct stat st {};
  if (path.empty() || path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    lastError = "the destination is not a file name: " + path;
    return false;
  }
  if (buffer.empty()) buffer.resize(kWriteBuffer);

  TempFile file(path);  // raises when the folder is missing or not writable
  temp = &file;
  buffered = 0;
  received = written = handedToDisk = 0;
  refusedStatus = 0;
  waiting = stalled = false;
  fileError.clear();
  progressError.clear();
  errbuf[0] = '\0';
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, progress || limits.stallTimeout > 0 ? 0L : 1L);
  CURLcode rc = curl_easy_perform(curl);
  temp = nullptr;

  std::string reason = Reason(rc);
  if (reason.empty()) {
    temp = &file;
    Flush();
    temp = nullptr;
    file.Commit(TempFile::Durability::kDataOrdered);
    return true;
  }
  lastError = reason;
  return false;  // `file` goes, and with it every byte of this fetch
}

// Why the fetch failed, or the empty text when it succeeded.
std::string DownloadSession::Impl::Reason(CURLcode rc) {
  if (!fileError.empty()) return fileError;
  if (!progressError.empty()) return "progress report failed: " + progressError;
  if (stalled) return "no data for " + std::to_string(limits.stallTimeout) + " s";
  long status = HttpStatus();
  if (refusedStatus) status = refusedStatus;
  if (status >= 400) return "HTTP " + std::to_string(status);
  if (rc == CURLE_OK) return {};

  long osError = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
  const char* detail = errbuf;
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
      if (osError == ECONNREFUSED) return "connection refused";
      if (osError == ENETUNREACH) return "network unreachable";
      if (osError == EHOSTUNREACH) return "host unreachable";
      if (osError == ETIMEDOUT) return "no connection (timed out)";
      return "could not connect";
    case CURLE_OPERATION_TIMEDOUT:
      if (StartsWith(detail, "Operation too slow")) {
        return "no data for " + std::to_string(limits.stallTimeout) + " s";
      }
      return "no connection within " + std::to_string(limits.connectTimeout) + " s";
    case CURLE_COULDNT_RESOLVE_HOST:
      if (StartsWith(detail, "Could not resolve host: ")) {
        return "could not resolve host " + std::string(detail + 24);
      }
      return "could not resolve host";
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "could not resolve proxy";
    case CURLE_PEER_FAILED_VERIFICATION:
      if (std::strstr(detail, "subject name") || std::strstr(detail, "does not match")) {
        return "certificate does not match the host name";
      }
      if (StartsWith(detail, "SSL certificate problem: ")) {
        return "certificate not trusted (" + std::string(detail + 25) + ")";
      }
      return "certificate not trusted";
    case CURLE_SSL_CACERT_BADFILE:
      return "cannot read the trusted certificates";
    case CURLE_SSL_CONNECT_ERROR:
      return "TLS handshake failed";
    case CURLE_TOO_MANY_REDIRECTS:
      return "too many redirects";
    case CURLE_UNSUPPORTED_PROTOCOL: {
      long redirects = 0;
      curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
      return redirects > 0 ? "redirect to a protocol that is not allowed"
                           : "protocol not supported";
    }
    case CURLE_URL_MALFORMAT:
      return "malformed URL";
    case CURLE_PARTIAL_FILE: {
      curl_off_t total = -1;
      curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
      std::string of = total >= 0 ? " of " + std::to_string(total) : std::string();
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
      return "out of memory";
    default:
      return *detail ? std::string(detail) : std::string(curl_easy_strerror(rc));
  }
}

DownloadSession::DownloadSession(DownloadLimits limits) : impl_(std::make_unique<Impl>()) {
  impl_->limits = limits;
  impl_->startError = GlobalInitError();
  if (!impl_->startError.empty()) return;
  impl_->curl = curl_easy_init();
  if (!impl_->curl) {
    impl_->startError = "cannot start libcurl";
    return;
  }
  impl_->Configure();
}

DownloadSession::~DownloadSession() {
  if (impl_->curl) curl_easy_cleanup(impl_->curl);
}

bool DownloadSession::Fetch(const std::string& url, const std::string& path) {
  Impl& s = *impl_;
  s.lastError.clear();
  try {
    return s.Run(url, path);
  } catch (const Error& e) {
    s.lastError = e.Description();
  } catch (const std::bad_alloc&) {
    s.lastError = "out of memory";
  } catch (const std::exception& e) {
    s.lastError = e.what();
  }
  s.temp = nullptr;
  return false;
}

const std::string& DownloadSession::LastError() const {
  return impl_->lastError;
}

void DownloadSession::OnProgress(std::function<void(const DownloadProgress&)> callback) {
  impl_->progress = std::move(callback);
}

}  // namespace fw
