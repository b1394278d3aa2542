#include "fetch/download.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "fetch/disk_writer.h"
#include "fetch/url_userinfo.h"
#include "platform/error.h"
#include "platform/files.h"

#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0
#endif

namespace fw {
namespace {

// libcurl's receive buffer, one writer's buffer in size: a large file then
// takes a quarter of the receive calls 64 KiB would (each also a poll), which
// made 1 GiB from loopback 15% faster, while the data is still in the CPU's
// cache when it is copied into the writer's buffers (256 KiB files lost
// nothing measurable; 1 MiB did lose).
constexpr long kReceiveBuffer = 256 * 1024;
// The longest time limit taken; longer ones are cut to it (see DownloadLimits).
constexpr long kLongestLimit = 86400;
// The largest netrc file used: libcurl reads it through at every request.
constexpr off_t kMaxNetrc = 1 << 20;

constexpr char kOutOfTime[] = "the run's time limit was reached";
constexpr char kDowngrade[] = "redirect from https to http refused";
constexpr char kNoDescriptors[] = "too many open files";

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

// Whether an HTTP status is one whose body is the whole file: a 2xx other than
// 206, which only brings a part (and no part is ever asked for).
bool Whole2xx(long status) {
  return status >= 200 && status <= 299 && status != 206;
}

// Whether a header line is the header `name` (in any case); if so, its value
// without the spaces around it and the line end.
bool HeaderValue(std::string_view line, std::string_view name, std::string* value) {
  if (line.size() <= name.size() || line[name.size()] != ':' ||
      strncasecmp(line.data(), name.data(), name.size()) != 0) {
    return false;
  }
  line.remove_prefix(name.size() + 1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && std::strchr(" \t\r\n", line.back())) line.remove_suffix(1);
  *value = std::string(line);
  return true;
}

// The secrets a URL carries in its user information ("user:password@"): the
// whole user information and the password, also as decoded from %-escapes.
// Read from the text itself, so that a URL libcurl cannot parse gives them too.
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

// `text` with every secret replaced by "***".
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
      return true;
    default:
      return false;
  }
}

// Seconds from now that a Retry-After value asks for: a number of seconds or
// an HTTP date; -1 when it is neither.
long RetryAfterSeconds(const std::string& value) {
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(value.c_str(), &end, 10);
  if (end != value.c_str() && *end == '\0') {
    return errno == 0 && seconds >= 0 ? static_cast<long>(std::min(seconds, 1LL << 30)) : -1;
  }
  const time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return -1;
  const time_t now = time(nullptr);
  return when > now ? static_cast<long>(std::min<time_t>(when - now, 1 << 30)) : 0;
}

// The largest certificate bundle read, the system's or the user's.
constexpr size_t kMaxBundle = size_t{16} << 20;

bool NoDescriptor(int error) {
  return error == EMFILE || error == ENFILE;
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

// `reason` of a file that could not be made or opened, with a shortage of
// descriptors said plainly (the file's own errors end in the system's text).
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

// Whether `url` names an http or an https resource; nullopt for other schemes.
std::optional<bool> HttpsUrl(const char* url) {
  if (url == nullptr) return std::nullopt;
  if (strncasecmp(url, "https://", 8) == 0) return true;
  if (strncasecmp(url, "http://", 7) == 0) return false;
  return std::nullopt;
}

}  // namespace

using Clock = std::chrono::steady_clock;

struct DownloadSession::Impl {
  DownloadLimits limits;
  std::string caFile;      // the extra certificates' file, empty for none
  std::string trustError;  // why the extra certificates cannot be used
  std::vector<std::string> notices;
  FetchInfo info;  // of the fetch under way, then of the last one
  bool conditional = false;
  curl_slist* conditions = nullptr;
  CURL* curl = nullptr;
  std::string startError;  // why there is no handle
  char errbuf[CURL_ERROR_SIZE] = {};
  std::string lastError;
  std::function<void(const DownloadProgress&)> progress;
  std::unique_ptr<DiskWriter> writer;  // made at the first fetch
  // The netrc file checked at the start, held open for libcurl to read
  // through /proc/self/fd; -1 for none.
  int netrcFd = -1;
  std::string netrcPath;  // "/proc/self/fd/<netrcFd>"

  // State of the fetch under way.
  DiskWriter::Ticket ticket = 0;         // of the file being received
  DiskWriter::Buffer* buffer = nullptr;  // being filled
  int64_t received = 0;
  long refusedStatus = 0;  // a status other than 2xx whose body was refused
  bool waiting = false;    // a request is out and its answer is awaited
  Clock::time_point lastHeard{};
  bool stalled = false;
  bool outOfTime = false;            // the run's deadline passed during the fetch
  bool tlsSeen = false;              // a request of this fetch went out over https
  bool downgraded = false;           // ... and a later one was to go over plain http
  bool noSocket = false;             // a socket could not be made: no descriptor left
  std::string fileError;             // the temporary file could not be written
  std::string progressError;         // the progress callback raised
  std::vector<std::string> secrets;  // never to appear in lastError
  // The HTTP answer being received: what its headers said.
  bool headersDone = false;
  bool hasLocation = false;
  int64_t announced = -1;  // its Content-Length, -1 when none
  // A file:// source: its size when it was checked, -1 for other URLs.
  int64_t localSize = -1;

  void Configure();
  void Trust(const DownloadTrust& trust);
  void UseNetrc(const std::string& path);
  DiskWriter::Ticket Run(const std::string& url, const std::string& path,
                         const FetchRequest& request);
  std::string OpenLocal(const std::string& path, int* fd);
  void Append(const char* data, size_t size);
  bool IsHttp();
  long HttpStatus();
  std::string Reason(CURLcode rc);
  std::string StatusReason(long status) const;
  std::string CurlReason(CURLcode rc);

  static size_t OnData(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnRequest(void* self, char*, char*, int, int);
  static curl_socket_t OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address);
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
  // No low-speed limit: libcurl averages speed over several seconds, so it would
  // fail a server that sends a byte now and then. OnTransferInfo watches for a
  // stall itself.
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnRequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnTransferInfo);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
}

// Whether the transfer (its latest request, after redirects) speaks HTTP.
bool DownloadSession::Impl::IsHttp() {
  char* scheme = nullptr;
  return curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) == CURLE_OK && scheme &&
         strncasecmp(scheme, "http", 4) == 0;
}

// The response code when the transfer speaks HTTP, 0 otherwise (FTP replies also
// come as response codes, and must not be read as HTTP statuses).
long DownloadSession::Impl::HttpStatus() {
  if (!IsHttp()) return 0;
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  return status;
}

// A connection is ready and a request about to go out (also after each
// redirect): from now on, silence counts as a stall. Once a request of the
// fetch has gone over https, none goes over plain http: the login of the URL
// or of the netrc file would travel in clear, and the answer could be
// anyone's. Nothing has been sent on the new connection yet.
int DownloadSession::Impl::OnRequest(void* self, char*, char*, int, int) {
  auto* s = static_cast<Impl*>(self);
  char* url = nullptr;
  curl_easy_getinfo(s->curl, CURLINFO_EFFECTIVE_URL, &url);
  if (const std::optional<bool> https = HttpsUrl(url)) {
    if (*https) {
      s->tlsSeen = true;
    } else if (s->tlsSeen) {
      s->downgraded = true;
      return CURL_PREREQFUNC_ABORT;
    }
  }
  s->waiting = true;
  s->lastHeard = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Makes the sockets of the session's connections, noting when the process has
// no descriptor left for one.
curl_socket_t DownloadSession::Impl::OnOpenSocket(void* self, curlsocktype,
                                                  curl_sockaddr* address) {
  const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0 && NoDescriptor(errno)) static_cast<Impl*>(self)->noSocket = true;
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// Each header line of each answer (redirects and interim answers included).
size_t DownloadSession::Impl::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<Impl*>(self);
  s->lastHeard = Clock::now();
  std::string_view line(data, size * count);
  std::string value;
  if (line.starts_with("HTTP/")) {  // the status line: a new answer begins
    s->headersDone = s->hasLocation = false;
    s->announced = -1;
    s->info.etag.clear();
    s->info.lastModified.clear();
    s->info.retryAfter = -1;
  } else if (HeaderValue(line, "etag", &value)) {
    s->info.etag = value;
  } else if (HeaderValue(line, "last-modified", &value)) {
    s->info.lastModified = value;
  } else if (HeaderValue(line, "retry-after", &value)) {
    s->info.retryAfter = RetryAfterSeconds(value);
  } else if (line == "\r\n" || line == "\n") {
    s->headersDone = true;
  } else if (HeaderValue(line, "location", &value)) {
    s->hasLocation = !value.empty();
    AddSecrets(value, &s->secrets);
  } else if (HeaderValue(line, "content-length", &value)) {
    char* end = nullptr;
    errno = 0;
    long long length = std::strtoll(value.c_str(), &end, 10);
    s->announced = errno == 0 && end != value.c_str() && *end == '\0' && length >= 0 ? length : -1;
  }
  return size * count;
}

size_t DownloadSession::Impl::OnData(char* data, size_t size, size_t count, void* self) {
  auto* s = static_cast<Impl*>(self);
  s->lastHeard = Clock::now();
  // Only the body of a whole 2xx answer is the file. libcurl already fails on an error
  // status; this also covers the answers it passes through: an error page of
  // some authentication replies, a 3xx it does not follow, a 206 or 304.
  if (long status = s->HttpStatus(); status != 0 && !Whole2xx(status)) {
    s->refusedStatus = status;
    return CURL_WRITEFUNC_ERROR;
  }
  // The disk failed this file already (full, say): no point going on.
  if (s->writer->Failed(s->ticket)) {
    s->fileError = "write failed";
    return CURL_WRITEFUNC_ERROR;
  }
  try {
    s->Append(data, size * count);
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
  if (Clock::now() >= s->limits.deadline) {
    s->outOfTime = true;
    return 1;
  }
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

// Copies received bytes into the writer's buffers, handing each over full.
void DownloadSession::Impl::Append(const char* data, size_t size) {
  received += static_cast<int64_t>(size);
  while (size > 0) {
    if (!buffer) buffer = writer->Take();
    const size_t take = std::min(size, DiskWriter::kBufferSize - buffer->used);
    std::memcpy(buffer->bytes.get() + buffer->used, data, take);
    buffer->used += take;
    data += take;
    size -= take;
    if (buffer->used == DiskWriter::kBufferSize) {
      writer->Fill(buffer);
      buffer = nullptr;
    }
  }
}

// Checks a file:// source without reading it: only a regular file is fetched.
// Returns why it cannot be, or the empty text with `fd` open on the file, so
// that libcurl reads the very file checked even if its name is taken by
// another one meanwhile (a FIFO would block libcurl's open for ever).
std::string DownloadSession::Impl::OpenLocal(const std::string& path, int* fd) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR
               ? "no such file"
               : std::string("cannot read the file (") + std::strerror(errno) + ")";
  }
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file: ") + KindOfFile(st.st_mode);
  // Non-blocking, in case a FIFO has taken the file's name since the check.
  *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (*fd < 0) {
    if (NoDescriptor(errno)) return kNoDescriptors;
    return std::string("cannot read the file (") + std::strerror(errno) + ")";
  }
  struct stat opened {};
  if (fstat(*fd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    return "the file changed while it was read";
  }
  localSize = opened.st_size;
  return {};
}

DiskWriter::Ticket DownloadSession::Impl::Run(const std::string& url, const std::string& path,
                                              const FetchRequest& request) {
  if (!curl) {
    lastError = startError;
    return 0;
  }
  // Past the run's deadline nothing more is asked of any server.
  const Clock::time_point started = Clock::now();
  if (started >= limits.deadline) {
    info.outOfTime = true;
    lastError = kOutOfTime;
    return 0;
  }
  // Checked before anything is asked of the server.
  struct stat st {};
  if (path.empty() || path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    lastError = "the destination is not a file name: " + path;
    return 0;
  }
  // The URL as libcurl will read it: the same parse, so that a file:// source
  // is known as one and checked before libcurl opens it.
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parts(curl_url(), curl_url_cleanup);
  char* scheme = nullptr;
  if (!parts ||
      curl_url_set(parts.get(), CURLUPART_URL, url.c_str(),
                   CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
      curl_url_get(parts.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    lastError = "malformed URL";
    return 0;
  }
  const bool local = strcasecmp(scheme, "file") == 0;
  const bool tls = strcasecmp(scheme, "https") == 0 || strcasecmp(scheme, "ftps") == 0;
  curl_free(scheme);
  if (tls && !trustError.empty()) {
    lastError = trustError;
    return 0;
  }
  localSize = -1;
  int localFd = -1;
  struct FdCloser {
    int& fd;
    ~FdCloser() {
      if (fd >= 0) close(fd);
    }
  } closeLocal{localFd};
  std::string source = url;
  if (local) {
    char* decoded = nullptr;
    if (curl_url_get(parts.get(), CURLUPART_PATH, &decoded, CURLU_URLDECODE) != CURLUE_OK) {
      lastError = "malformed URL";
      return 0;
    }
    const std::string localPath = decoded;
    curl_free(decoded);
    if (std::string refusal = OpenLocal(localPath, &localFd); !refusal.empty()) {
      lastError = refusal;
      return 0;
    }
    // libcurl opens the file already checked, by its descriptor.
    source = "file:///proc/self/fd/" + std::to_string(localFd);
  }
  if (!writer) writer = std::make_unique<DiskWriter>();

  // Raises when the folder is missing or not writable, before anything is
  // asked of the server; the writer thread makes and writes the file.
  TempFile::CheckFolder(path);
  ticket = writer->Begin(path);
  buffer = nullptr;
  received = 0;
  refusedStatus = 0;
  waiting = stalled = false;
  outOfTime = tlsSeen = downgraded = noSocket = false;
  headersDone = hasLocation = false;
  announced = -1;
  fileError.clear();
  progressError.clear();
  errbuf[0] = '\0';
  curl_easy_setopt(curl, CURLOPT_URL, source.c_str());
  const bool deadline = limits.deadline != Clock::time_point::max();
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS,
                   progress || limits.stallTimeout > 0 || deadline ? 0L : 1L);
  // libcurl itself stops the fetch at the deadline too, in every phase
  // (resolving, connecting, the TLS handshake), where the progress callback
  // may not be called. Rounded up, so that it does not stop before the
  // deadline; one further than a day away is left to the callback.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(limits.deadline - started);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                   deadline && left <= std::chrono::seconds(kLongestLimit)
                       ? static_cast<long>(left.count())
                       : 0L);
  // Conditions only for this request (and its redirects).
  curl_slist_free_all(conditions);
  conditions = nullptr;
  if (!request.ifNoneMatch.empty()) {
    conditions = curl_slist_append(conditions, ("If-None-Match: " + request.ifNoneMatch).c_str());
  }
  if (!request.ifModifiedSince.empty()) {
    conditions =
        curl_slist_append(conditions, ("If-Modified-Since: " + request.ifModifiedSince).c_str());
  }
  conditional = conditions != nullptr;
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, conditions);
  CURLcode rc = curl_easy_perform(curl);
  info.status = HttpStatus();
  // A time-out is the deadline's when the deadline came before the limit to
  // connect, or when it has (about) passed: libcurl's clock, not slewed by
  // NTP, may run up to 0.05% apart from ours.
  if (rc == CURLE_OPERATION_TIMEDOUT && deadline) {
    const auto now = Clock::now();
    const auto slack = std::chrono::milliseconds(100) + (now - started) / 1000;
    const long connectLimit = limits.connectTimeout > 0 ? limits.connectTimeout : 300;
    if (left < std::chrono::seconds(connectLimit) || now + slack >= limits.deadline) {
      outOfTime = true;
    }
  }
  info.outOfTime = outOfTime;

  std::string reason = Reason(rc);
  const bool notModified =
      conditional && rc == CURLE_OK && info.status == 304 && refusedStatus == 0;
  if (reason.empty() && !notModified) {
    if (buffer && buffer->used > 0) {
      writer->Fill(buffer);
    } else if (buffer) {
      writer->Return(buffer);
    }
    buffer = nullptr;
    // The writer thread runs it later: it gets its own copy of what was said.
    writer->Commit([last = request.beforeCommit, said = info](int fd, const ContentDigest& digest) {
      if (last) last(fd, said, digest);
    });
    return ticket;
  }
  if (buffer) writer->Return(buffer);
  buffer = nullptr;
  writer->Abandon();
  // A write that failed is the reason, whatever the transfer made of it.
  std::string writeError;
  if (!fileError.empty() && !writer->Wait(ticket, &writeError)) reason = ShortageNamed(writeError);
  if (notModified) {
    info.notModified = true;
    lastError = "not modified";
    return 0;  // nothing was written; the earlier copy stands
  }
  // A shortage of descriptors is the run's own: waiting does not end it.
  info.transient = !local && fileError.empty() && progressError.empty() && !outOfTime &&
                   !downgraded && reason != kNoDescriptors &&
                   (stalled || TransientStatus(refusedStatus ? refusedStatus : info.status) ||
                    (refusedStatus == 0 && info.status < 400 && TransientCode(rc)));
  lastError = reason;
  return 0;  // the writer discards the file, and with it every byte of this fetch
}

// Why the fetch failed, or the empty text when it succeeded: for HTTP only a
// 2xx final answer whose body came whole, for a local file only all of its bytes.
std::string DownloadSession::Impl::Reason(CURLcode rc) {
  if (!fileError.empty()) return fileError;
  if (!progressError.empty()) return "progress report failed: " + progressError;
  if (outOfTime) return kOutOfTime;
  if (downgraded) return kDowngrade;
  if (stalled) return "no data for " + std::to_string(limits.stallTimeout) + " s";
  if (refusedStatus) return StatusReason(refusedStatus);
  long status = HttpStatus();
  if (status >= 400) return StatusReason(status);
  if (rc != CURLE_OK) return CurlReason(rc);
  if (status != 0 && !Whole2xx(status)) return StatusReason(status);
  // A 204 has no body, whatever its headers say.
  if (status != 0 && status != 204 && announced >= 0 && received != announced) {
    return "body of " + std::to_string(received) + " bytes, " + std::to_string(announced) +
           " announced";
  }
  if (localSize >= 0 && received != localSize) return "the file changed while it was read";
  return {};
}

std::string DownloadSession::Impl::StatusReason(long status) const {
  if (status >= 300 && status < 400 && status != 304 && !hasLocation) {
    return "redirect without a Location";
  }
  return "HTTP " + std::to_string(status);
}

std::string DownloadSession::Impl::CurlReason(CURLcode rc) {
  long osError = 0;
  curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
  long redirects = 0;
  curl_easy_getinfo(curl, CURLINFO_REDIRECT_COUNT, &redirects);
  const char* detail = errbuf;
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
      if (noSocket || NoDescriptor(static_cast<int>(osError))) return kNoDescriptors;
      if (osError == ECONNREFUSED) return "connection refused";
      if (osError == ENETUNREACH) return "network unreachable";
      if (osError == EHOSTUNREACH) return "host unreachable";
      if (osError == ETIMEDOUT) return "no connection (timed out)";
      return "could not connect";
    case CURLE_OPERATION_TIMEDOUT:
      return "no connection within " + std::to_string(limits.connectTimeout) + " s";
    case CURLE_COULDNT_RESOLVE_HOST:
      if (DescriptorsExhausted()) return kNoDescriptors;
      if (StartsWith(detail, "Could not resolve host: ")) {
        return "could not resolve host " + std::string(detail + 24);
      }
      return "could not resolve host";
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "could not resolve proxy";
    case CURLE_PEER_FAILED_VERIFICATION:
      if (!trustError.empty()) return trustError;  // an https redirect's target
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
      if (!trustError.empty()) return trustError;
      return caFile.empty() ? "cannot read the trusted certificates"
                            : "cannot read the trusted certificates " + caFile;
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
      if (HttpStatus() == 0 && std::strstr(detail, "HTTP")) {
        return "not an HTTP answer (malformed status line)";
      }
      return *detail ? "unexpected reply from the server (" + std::string(detail) + ")"
                     : "unexpected reply from the server";
    case CURLE_URL_MALFORMAT:
      return redirects > 0 || StartsWith(detail, "The redirect target")
                 ? "redirect to a malformed URL"
                 : "malformed URL";
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

void DownloadSession::Impl::Trust(const DownloadTrust& trust) {
  caFile = trust.caFile;
  if (!trust.caFile.empty()) {
    // The bundle given replaces libcurl's own, so it is the system's bundle
    // followed by the user's: the extra certificates count on top of it.
    char* system = nullptr;
    std::string bundle;
    if (curl_easy_getinfo(curl, CURLINFO_CAINFO, &system) == CURLE_OK && system) {
      try {
        bundle = ReadWholeFile(system, kMaxBundle) + "\n";
      } catch (const Error&) {
        // No system bundle: the system's trust may come from CAPATH alone.
      }
    }
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
    // When the extra bundle cannot be used, nothing is trusted: Run() refuses
    // https and ftps URLs, and this fails the TLS handshake after a redirect.
    if (!trustError.empty()) bundle = "no certificate\n";
    curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_COPY};
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
  }
  if (!trust.netrcFile.empty()) UseNetrc(trust.netrcFile);
}

// Checks the netrc file once, on a descriptor of its own, and has libcurl read
// that very file (/proc/self/fd/N opens the same one again): a FIFO or device
// put in its place later never blocks or feeds a run. Non-blocking, so that
// opening a FIFO returns at once; links are followed.
void DownloadSession::Impl::UseNetrc(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    // A missing file is no news: most users have none.
    if (errno == ENOENT || errno == ENOTDIR) return;
    const std::string why = NoDescriptor(errno) ? kNoDescriptors : std::strerror(errno);
    notices.push_back(path + " cannot be read (" + why + "), so it is not used");
    return;
  }
  struct stat st {};
  std::string refusal;
  if (fstat(fd, &st) != 0) {
    refusal = path + " cannot be read (" + std::strerror(errno) + "), so it is not used";
  } else if (!S_ISREG(st.st_mode)) {
    refusal = path + " is not a regular file (" + KindOfFile(st.st_mode) + "), so it is not used";
  } else if ((st.st_mode & 077) != 0) {
    refusal =
        path + " may be read by other users, so it is not used; make it private with chmod 600";
  } else if (st.st_size > kMaxNetrc) {
    refusal = path + " is larger than 1 MiB, so it is not used";
  }
  if (!refusal.empty()) {
    notices.push_back(refusal);
    close(fd);
    return;
  }
  netrcFd = fd;
  netrcPath = "/proc/self/fd/" + std::to_string(fd);
  curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
  curl_easy_setopt(curl, CURLOPT_NETRC_FILE, netrcPath.c_str());
}

DownloadSession::DownloadSession(DownloadLimits limits, DownloadTrust trust)
    : impl_(std::make_unique<Impl>()) {
  // A longer limit would overflow the clock arithmetic and is no limit anyway.
  limits.connectTimeout = std::min(limits.connectTimeout, kLongestLimit);
  limits.stallTimeout = std::min(limits.stallTimeout, kLongestLimit);
  impl_->limits = limits;
  impl_->startError = GlobalInitError();
  if (!impl_->startError.empty()) return;
  impl_->curl = curl_easy_init();
  if (!impl_->curl) {
    impl_->startError = "cannot start libcurl";
    return;
  }
  impl_->Configure();
  impl_->Trust(trust);
}

DownloadSession::~DownloadSession() {
  if (impl_->curl) curl_easy_cleanup(impl_->curl);
  curl_slist_free_all(impl_->conditions);
  if (impl_->netrcFd >= 0) close(impl_->netrcFd);
}

bool DownloadSession::Fetch(const std::string& url, const std::string& path,
                            const FetchRequest& request) {
  const uint64_t ticket = FetchInBackground(url, path, request);
  return ticket != 0 && Settle(ticket, &impl_->lastError);
}

uint64_t DownloadSession::FetchInBackground(const std::string& url, const std::string& path,
                                            const FetchRequest& request) {
  Impl& s = *impl_;
  s.lastError.clear();
  s.secrets.clear();
  s.info = FetchInfo();
  DiskWriter::Ticket ticket = 0;
  try {
    AddSecrets(url, &s.secrets);
    ticket = s.Run(url, path, request);
  } catch (const Error& e) {
    s.lastError = e.Description();
  } catch (const std::bad_alloc&) {
    s.lastError = "out of memory";
  } catch (const std::exception& e) {
    s.lastError = e.what();
  }
  // A reason can quote libcurl or a server; it must not show a password.
  if (ticket == 0) s.lastError = Scrubbed(std::move(s.lastError), std::move(s.secrets));
  s.secrets.clear();
  return ticket;
}

bool DownloadSession::Settle(uint64_t ticket, std::string* reason) {
  if (impl_->writer->Wait(ticket, reason)) return true;
  if (reason) *reason = ShortageNamed(std::move(*reason));
  return false;
}

const std::string& DownloadSession::LastError() const {
  return impl_->lastError;
}

const FetchInfo& DownloadSession::LastFetch() const {
  return impl_->info;
}

const DownloadLimits& DownloadSession::Limits() const {
  return impl_->limits;
}

const std::vector<std::string>& DownloadSession::Notices() const {
  return impl_->notices;
}

void DownloadSession::OnProgress(std::function<void(const DownloadProgress&)> callback) {
  impl_->progress = std::move(callback);
}

}  // namespace fw
