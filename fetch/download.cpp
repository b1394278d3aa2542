#include "fetch/download.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "fetch/disk_writer.h"
#include "fetch/http_header.h"
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
// The receive buffer of a transfer that starts while others run: several
// large buffers at once push each other out of the CPU's caches (200 files of
// 256 KiB from loopback, six at a time, took 30% longer with 256 KiB than
// with 64 KiB).
constexpr long kSharedReceiveBuffer = 64 * 1024;
// The longest time limit taken; longer ones are cut to it (see DownloadLimits).
constexpr long kLongestLimit = 86400;
// The largest netrc file used: libcurl reads it through at every request.
constexpr off_t kMaxNetrc = 1 << 20;

// How many bytes before the end of a partial file a continued request asks
// for again, to be compared with those held: a difference means the resource
// changed on the server, whatever its validators say.
constexpr int64_t kOverlap = 64 * 1024;

constexpr char kOutOfTime[] = "the run's time limit was reached";
constexpr char kChanged[] = "changed on the server while it was fetched";
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
    // An HTTP/2 stream reset by the server, or its connection broken.
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
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

// How many transfers the process's descriptors allow at once: each takes a
// socket, a temporary file and, while its host's name is looked up, two more;
// a quarter of the soft limit is left to the files made ahead and held by the
// writer, and a few to the rest of the run.
int TransfersDescriptorsAllow() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 20;
  long open = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (readdir(fds) != nullptr) ++open;
    closedir(fds);
  }
  const long soft = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
  const long spare = soft - open - soft / 4 - 4;
  return static_cast<int>(std::max(1L, spare / 4));
}

// The origin of `url`, "scheme://host:port" in lower case; empty when it has
// none libcurl can read.
std::string OriginOf(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parts(curl_url(), curl_url_cleanup);
  if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(),
                             CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return {};
  }
  std::string origin;
  for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
    char* value = nullptr;
    const unsigned flags = part == CURLUPART_PORT ? CURLU_DEFAULT_PORT : 0;
    if (curl_url_get(parts.get(), part, &value, flags) != CURLUE_OK) return {};
    origin += part == CURLUPART_SCHEME ? "" : part == CURLUPART_HOST ? "://" : ":";
    origin += value;
    curl_free(value);
  }
  std::transform(origin.begin(), origin.end(), origin.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return origin;
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

namespace {

// One transfer's handle and what it has learnt so far. The handles are kept
// between transfers, so that each keeps its TLS sessions and settings.
struct Attempt {
  DownloadSession::Impl* session = nullptr;
  CURL* curl = nullptr;
  uint64_t id = 0;
  char errbuf[CURL_ERROR_SIZE] = {};
  FetchInfo info;
  FetchRequest request;
  std::string origin;  // of `url`: where its streams may share a connection
  bool alone = false;  // started while its origin was not known to multiplex
  std::string url;     // as given
  std::string path;    // the destination
  std::string source;  // what libcurl is asked for (a file:// source by its descriptor)
  curl_slist* headers = nullptr;
  bool conditional = false;
  bool local = false;  // a file:// source
  int localFd = -1;
  int64_t localSize = -1;  // a file:// source: its size when it was checked
  Clock::time_point started{};
  std::chrono::milliseconds left{0};  // to the deadline, when the transfer started
  std::vector<std::string> secrets;   // never to appear in a reason

  DiskWriter::Ticket ticket = 0;         // of the file being received
  DiskWriter::Buffer* buffer = nullptr;  // being filled
  int64_t offset = 0;                    // bytes of the file that earlier attempts brought
  int64_t received = 0;                  // body bytes of this attempt
  int64_t written = 0;                   // ... of them added to the file
  // The resource's length as the answer that began the file said, -1 when
  // unknown.
  int64_t total = -1;
  // A continued transfer: the validator its If-Range carries, and the last
  // bytes of the file (up to kOverlap) that the answer must repeat first, and
  // which are not written again.
  std::string resumeValidator;
  std::string tail;
  int64_t overlap = 0;   // bytes asked for again
  int64_t compared = 0;  // ... of them compared so far
  bool changed = false;  // they differed from those held
  // Whether the file may become a partial one: its answer can be continued.
  bool keepTail = false;
  std::string lastFull;      // the end (kOverlap bytes) of the last full buffer handed over
  bool bodyChecked = false;  // the final answer's status was looked at
  long refusedStatus = 0;    // a status other than 2xx whose body was refused
  std::string refusal;       // why a 206 could not continue the file
  bool cutShort = false;     // the body ended before its announced length
  bool waiting = false;      // a request is out and its answer is awaited
  Clock::time_point lastHeard{};
  bool stalled = false;
  bool outOfTime = false;   // the run's deadline passed during the fetch
  bool tlsSeen = false;     // a request of this fetch went out over https
  bool downgraded = false;  // ... and a later one was to go over plain http
  bool noSocket = false;    // a socket could not be made: no descriptor left
  std::string fileError;    // the temporary file could not be written
  std::string progressError;
  // The HTTP answer being received: what its headers said.
  long status = 0;  // its status; 0 before the first answer (and for other protocols)
  bool headersDone = false;
  bool hasLocation = false;
  bool acceptsRanges = false;
  bool encoded = false;     // a Content-Encoding other than identity
  bool multipart = false;   // Content-Type multipart/byteranges
  int64_t announced = -1;   // its Content-Length, -1 when none
  bool lengthSeen = false;  // a Content-Length came
  std::string contentRange;
  bool conflicting = false;  // two Content-Lengths or Content-Ranges that differ
  // Logins: the FTP control connection went over TLS (AUTH TLS taken), and
  // the user an FTP login named.
  bool controlTls = false;
  std::string ftpUser;

  void Reset();
  bool IsHttp();
  long HttpStatus();
  void CheckBody();
  void Append(const char* data, size_t size);
  void Hand();
  std::string Reason(CURLcode rc);
  std::string StatusReason(long code) const;
  std::string CurlReason(CURLcode rc);
  std::string ResumeValidator() const;
  std::string PartRefusal() const;
  std::string Tail() const;

  static size_t OnData(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnRequest(void* self, char*, char*, int, int);
  static curl_socket_t OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address);
  static int OnTransferInfo(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t);
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
};

// What a broken transfer left for the next attempt to continue.
struct Partial {
  DiskWriter::Ticket ticket = 0;
  std::string url;
  std::string path;
  int64_t size = 0;
  std::string validator;  // a strong ETag, or a Last-Modified
  int64_t total = 0;      // the resource's length
  std::string tail;       // the file's last bytes, kOverlap of them or all when fewer
};

}  // namespace

struct DownloadSession::Impl {
  DownloadLimits limits;
  int parallel = 1;
  std::string caFile;      // the extra certificates' file, empty for none
  std::string trustError;  // why the extra certificates cannot be used
  std::string bundle;      // the certificates trusted, when caFile is set
  std::vector<std::string> notices;
  std::string startError;  // why there is no multi handle
  CURLM* multi = nullptr;
  CURLSH* share = nullptr;
  std::function<void(uint64_t, const DownloadProgress&)> progress;
  std::unique_ptr<DiskWriter> writer;  // made at the first fetch
  // The netrc file checked at the start, held open for libcurl to read
  // through /proc/self/fd; -1 for none.
  int netrcFd = -1;
  std::string netrcPath;  // "/proc/self/fd/<netrcFd>"

  uint64_t lastId = 0;
  std::vector<std::unique_ptr<Attempt>> idle;  // handles between transfers
  std::map<uint64_t, std::unique_ptr<Attempt>> running;
  std::vector<TransferDone> refused;  // done before any request, told at the next Wait
  std::map<uint64_t, Partial> partials;
  uint64_t lastPartial = 0;
  // Origins whose answers came over HTTP/2: their transfers share connections
  // as streams. And the transfers running to each origin.
  std::set<std::string> multiplexed;
  std::map<std::string, int> runningTo;
  int runningAlone = 0;   // transfers running to origins not multiplexed
  bool roomGrew = false;  // an origin was found to multiplex: Wait returns
  // Origins a password was sent to without encryption, in the order found.
  std::vector<std::string> clearOrigins;

  FetchInfo info;  // of the last Fetch or Transfer
  std::string lastError;

  ~Impl();
  std::unique_ptr<Attempt> Handle();
  void Configure(Attempt& t);
  void Trust(const DownloadTrust& trust);
  void UseNetrc(const std::string& path);
  std::string Begin(Attempt& t, const std::string& url, const std::string& path);
  TransferDone Complete(std::unique_ptr<Attempt> t, CURLcode rc);
  std::string OpenLocal(Attempt& t, const std::string& path);
};

DownloadSession::Impl::~Impl() {
  for (auto& [id, t] : running) {
    curl_multi_remove_handle(multi, t->curl);
    idle.push_back(std::move(t));
  }
  running.clear();
  for (auto& t : idle) {
    if (t->curl) curl_easy_cleanup(t->curl);
    curl_slist_free_all(t->headers);
    if (t->localFd >= 0) close(t->localFd);
  }
  // The writer discards the files it was not asked to commit (partials too).
  writer.reset();
  if (multi) curl_multi_cleanup(multi);
  if (share) curl_share_cleanup(share);
  if (netrcFd >= 0) close(netrcFd);
}

// A handle for a new transfer: one kept from an earlier one, or a new one.
std::unique_ptr<Attempt> DownloadSession::Impl::Handle() {
  if (!idle.empty()) {
    std::unique_ptr<Attempt> t = std::move(idle.back());
    idle.pop_back();
    return t;
  }
  auto t = std::make_unique<Attempt>();
  t->session = this;
  t->curl = curl_easy_init();
  if (!t->curl) throw Error(kOutOfMemory, "cannot start libcurl");
  Configure(*t);
  return t;
}

void DownloadSession::Impl::Configure(Attempt& t) {
  CURL* curl = t.curl;
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, t.errbuf);
  curl_easy_setopt(curl, CURLOPT_PRIVATE, &t);
  if (share) curl_easy_setopt(curl, CURLOPT_SHARE, share);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps,file");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "Fetchwell/" FETCHWELL_VERSION);
  // A login (the URL's or the netrc file's) goes by Basic or Digest, as the
  // server asks: the first request goes without it, to learn which.
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  // FTP logs in over TLS when the server offers it (AUTH TLS).
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
  // A proxy's answer to CONNECT is no answer of the server's.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Watches what goes out for a password in clear (only when the transfer
  // may carry one: see Begin).
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Attempt::OnDebug);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &t);
  // 0 or less leaves libcurl's own limits: 300 s to connect, no stall limit.
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT,
                   limits.connectTimeout > 0 ? limits.connectTimeout : 0L);
  // No low-speed limit: libcurl averages speed over several seconds, so it would
  // fail a server that sends a byte now and then. OnTransferInfo watches for a
  // stall itself.
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, Attempt::OnRequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, &t);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, Attempt::OnOpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &t);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Attempt::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Attempt::OnData);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Attempt::OnTransferInfo);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
  if (!caFile.empty()) {
    // The session keeps the bundle for as long as its handles live.
    curl_blob blob{bundle.data(), bundle.size(), CURL_BLOB_NOCOPY};
    curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
  }
  if (netrcFd >= 0) {
    curl_easy_setopt(curl, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_OPTIONAL));
    curl_easy_setopt(curl, CURLOPT_NETRC_FILE, netrcPath.c_str());
  }
}

void Attempt::Reset() {
  request = FetchRequest();
  url.clear();
  path.clear();
  source.clear();
  curl_slist_free_all(headers);
  headers = nullptr;
  conditional = local = false;
  if (localFd >= 0) close(localFd);
  localFd = -1;
  localSize = -1;
  info = FetchInfo();
  secrets.clear();
  ticket = 0;
  buffer = nullptr;
  offset = received = written = 0;
  total = -1;
  resumeValidator.clear();
  tail.clear();
  overlap = compared = 0;
  changed = keepTail = false;
  lastFull.clear();
  bodyChecked = false;
  refusedStatus = 0;
  refusal.clear();
  cutShort = false;
  waiting = stalled = outOfTime = tlsSeen = downgraded = noSocket = false;
  fileError.clear();
  progressError.clear();
  status = 0;
  headersDone = hasLocation = acceptsRanges = encoded = multipart = false;
  announced = -1;
  contentRange.clear();
  controlTls = false;
  ftpUser.clear();
  errbuf[0] = '\0';
}

// Whether the transfer (its latest request, after redirects) speaks HTTP.
bool Attempt::IsHttp() {
  char* scheme = nullptr;
  return curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) == CURLE_OK && scheme &&
         strncasecmp(scheme, "http", 4) == 0;
}

// The status of the transfer's last HTTP answer, 0 when it had none. Read from
// its own status lines, not from libcurl's response code: that one also takes
// FTP replies, even those of another transfer's connection that libcurl
// closes through this handle ("221 Goodbye").
long Attempt::HttpStatus() {
  return status;
}

// A connection is ready and a request about to go out (also after each
// redirect): from now on, silence counts as a stall. Once a request of the
// fetch has gone over https, none goes over plain http: the login of the URL
// or of the netrc file would travel in clear, and the answer could be
// anyone's. Nothing has been sent on the new connection yet.
int Attempt::OnRequest(void* self, char*, char*, int, int) {
  auto* t = static_cast<Attempt*>(self);
  char* url = nullptr;
  curl_easy_getinfo(t->curl, CURLINFO_EFFECTIVE_URL, &url);
  if (const std::optional<bool> https = HttpsUrl(url)) {
    if (*https) {
      t->tlsSeen = true;
    } else if (t->tlsSeen) {
      t->downgraded = true;
      return CURL_PREREQFUNC_ABORT;
    }
  }
  t->waiting = true;
  t->lastHeard = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// What libcurl sends and receives (only when the transfer may carry a password,
// see Begin): a password that goes out without encryption is noted by its
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

// Makes the sockets of the session's connections, noting when the process has
// no descriptor left for one.
curl_socket_t Attempt::OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
  const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0 && NoDescriptor(errno)) static_cast<Attempt*>(self)->noSocket = true;
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// Each header line of each answer (redirects and interim answers included).
size_t Attempt::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Attempt*>(self);
  t->lastHeard = Clock::now();
  std::string_view line(data, size * count);
  std::string value;
  if (line.starts_with("HTTP/")) {  // the status line: a new answer begins
    // The host speaks HTTP/2: more transfers may go to it at once.
    if (line.starts_with("HTTP/2") && !t->origin.empty() &&
        t->session->multiplexed.insert(t->origin).second) {
      t->session->roomGrew = true;
    }
    const size_t space = line.find(' ');
    const std::string_view code =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1, 3);
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    t->status = code.size() == 3 && std::all_of(code.begin(), code.end(), digit)
                    ? std::stol(std::string(code))
                    : 0;
    t->headersDone = t->hasLocation = t->acceptsRanges = t->encoded = t->multipart = false;
    t->lengthSeen = t->conflicting = false;
    t->announced = -1;
    t->contentRange.clear();
    t->info.etag.clear();
    t->info.lastModified.clear();
    t->info.retryAfter = -1;
  } else if (HeaderValue(line, "etag", &value)) {
    t->info.etag = value;
  } else if (HeaderValue(line, "last-modified", &value)) {
    t->info.lastModified = value;
  } else if (HeaderValue(line, "retry-after", &value)) {
    t->info.retryAfter = RetryAfterSeconds(value);
  } else if (line == "\r\n" || line == "\n") {
    t->headersDone = true;
  } else if (HeaderValue(line, "location", &value)) {
    t->hasLocation = !value.empty();
    AddSecrets(value, &t->secrets);
  } else if (HeaderValue(line, "content-length", &value)) {
    const int64_t length = ByteCount(value);
    if (t->lengthSeen && length != t->announced) t->conflicting = true;
    t->lengthSeen = true;
    t->announced = length;
  } else if (HeaderValue(line, "accept-ranges", &value)) {
    t->acceptsRanges = strcasecmp(value.c_str(), "bytes") == 0;
  } else if (HeaderValue(line, "content-range", &value)) {
    if (!t->contentRange.empty() && value != t->contentRange) t->conflicting = true;
    t->contentRange = value;
  } else if (HeaderValue(line, "content-encoding", &value)) {
    t->encoded = !value.empty() && strcasecmp(value.c_str(), "identity") != 0;
  } else if (HeaderValue(line, "content-type", &value)) {
    t->multipart = strncasecmp(value.c_str(), "multipart/byteranges", 20) == 0;
  }
  return size * count;
}

// The final answer's status, looked at once before its body is taken: only
// the body of a whole 2xx answer is the file. A continued transfer takes a 206
// that is the very part asked for (see PartRefusal); a 200 replaces what
// earlier attempts brought. libcurl already fails on an error status; this
// also covers the answers it passes through: an error page of some
// authentication replies, a 3xx it does not follow, a 206 or 304 not asked for.
void Attempt::CheckBody() {
  if (bodyChecked) return;
  bodyChecked = true;
  if (status == 0) return;
  // Which of two lengths is true cannot be told: neither is taken.
  if (conflicting && status >= 200 && status <= 299) {
    refusal = "the server announced two different lengths";
    refusedStatus = status;
    return;
  }
  if (offset > 0 && status == 206) {
    refusal = PartRefusal();
    if (!refusal.empty()) refusedStatus = status;
    keepTail = refusal.empty() && !ResumeValidator().empty();
    return;
  }
  if (!Whole2xx(status)) {
    refusedStatus = status;
    return;
  }
  // A whole answer is no part of the file, whatever its status says; and one
  // that keeps the validator of the file begun keeps its length too.
  const std::optional<ByteRange> range = ParseContentRange(contentRange);
  const bool sameVersion = offset > 0 && !info.etag.empty() && info.etag == resumeValidator;
  if ((range && (range->first != 0 || range->last + 1 != range->length)) ||
      (sameVersion && announced >= 0 && announced != total)) {
    refusal = "the server sent a part where the whole file was asked for";
    refusedStatus = status;
    return;
  }
  if (offset > 0) {  // the resource changed: its new version, from the start
    session->writer->Rewind(ticket);
    offset = overlap = 0;
    tail.clear();
  }
  total = announced;
  keepTail = total > 0 && !encoded && !ResumeValidator().empty();
}

// Why the 206 answer of a continued transfer cannot continue its file; empty
// when it can: one part, not encoded, exactly the range asked for (from the
// overlap on to the end of the resource of the length first announced), its
// Content-Length, when given, that range's length.
std::string Attempt::PartRefusal() const {
  if (multipart) return "the server sent several parts where one was asked for";
  if (encoded) return "the server sent the rest of the file encoded";
  // The part must be of the version begun: a server that ignores If-Range may
  // send the rest of another one, which the repeated bytes may not show.
  if (info.etag != resumeValidator && info.lastModified != resumeValidator) {
    return "the server sent part of another version of the file";
  }
  const int64_t start = offset - overlap;
  const std::optional<ByteRange> range = ParseContentRange(contentRange);
  if (!range || range->first != start || range->last != total - 1 || range->length != total ||
      (announced >= 0 && announced != total - start)) {
    return "the server sent another part than the one asked for";
  }
  return {};
}

size_t Attempt::OnData(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Attempt*>(self);
  t->lastHeard = Clock::now();
  t->CheckBody();
  if (t->refusedStatus != 0) return CURL_WRITEFUNC_ERROR;
  // The disk failed this file already (full, say): no point going on.
  if (t->session->writer->Failed(t->ticket)) {
    t->fileError = "write failed";
    return CURL_WRITEFUNC_ERROR;
  }
  size_t length = size * count;
  t->received += static_cast<int64_t>(length);
  if (t->offset > 0 && t->received > t->total - (t->offset - t->overlap)) {
    t->refusal = "the server sent more than the part asked for";
    t->refusedStatus = t->status;
    return CURL_WRITEFUNC_ERROR;
  }
  // The bytes asked for again must be those held; they are not written twice.
  if (t->compared < t->overlap) {
    const size_t same = static_cast<size_t>(std::min<int64_t>(length, t->overlap - t->compared));
    const char* held = t->tail.data() + (t->tail.size() - t->overlap) + t->compared;
    if (std::memcmp(data, held, same) != 0) {
      t->changed = true;
      return CURL_WRITEFUNC_ERROR;
    }
    t->compared += static_cast<int64_t>(same);
    data += same;
    length -= same;
  }
  try {
    t->Append(data, length);
  } catch (const std::bad_alloc&) {
    t->fileError = "out of memory";
    return CURL_WRITEFUNC_ERROR;
  }
  return size * count;
}

int Attempt::OnTransferInfo(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) {
  auto* t = static_cast<Attempt*>(self);
  const DownloadSession::Impl& s = *t->session;
  // Called at least once a second, also while nothing arrives.
  if (Clock::now() >= s.limits.deadline) {
    t->outOfTime = true;
    return 1;
  }
  if (t->waiting && s.limits.stallTimeout > 0 &&
      Clock::now() - t->lastHeard >= std::chrono::seconds(s.limits.stallTimeout)) {
    t->stalled = true;
    return 1;
  }
  if (!s.progress) return 0;
  curl_off_t total = -1;
  curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
  // The bytes asked for again count once.
  const int64_t start = t->offset - t->overlap;
  DownloadProgress p;
  p.bytes = start + now;
  p.total = total >= 0 ? start + total : -1;
  try {
    s.progress(t->id, p);
  } catch (const std::exception& e) {
    t->progressError = e.what();
    return 1;
  } catch (...) {
    t->progressError = "unknown error";
    return 1;
  }
  return 0;
}

// Copies received bytes into the writer's buffers, handing each over full.
void Attempt::Append(const char* data, size_t size) {
  written += static_cast<int64_t>(size);
  DiskWriter& writer = *session->writer;
  while (size > 0) {
    if (!buffer) buffer = writer.Take();
    const size_t take = std::min(size, DiskWriter::kBufferSize - buffer->used);
    std::memcpy(buffer->bytes.get() + buffer->used, data, take);
    buffer->used += take;
    data += take;
    size -= take;
    if (buffer->used == DiskWriter::kBufferSize) {
      // Its end is the tail of a partial file, should the transfer break.
      if (keepTail)
        lastFull.assign(buffer->bytes.get() + DiskWriter::kBufferSize - kOverlap, kOverlap);
      writer.Fill(ticket, buffer);
      buffer = nullptr;
    }
  }
}

// Hands what is left in the buffer over to the file.
void Attempt::Hand() {
  if (!buffer) return;
  if (buffer->used > 0) {
    session->writer->Fill(ticket, buffer);
  } else {
    session->writer->Return(buffer);
  }
  buffer = nullptr;
}

// The last bytes of the file as it is now (kOverlap of them, or all when
// fewer), before the buffer being filled is handed over.
std::string Attempt::Tail() const {
  std::string end = lastFull.empty() ? tail : lastFull;
  if (buffer) end.append(buffer->bytes.get(), buffer->used);
  if (end.size() > static_cast<size_t>(kOverlap)) end.erase(0, end.size() - kOverlap);
  return end;
}

// The validator a continued request may carry in If-Range: a strong ETag, or
// else the Last-Modified date; empty when the answer cannot be continued.
std::string Attempt::ResumeValidator() const {
  if (!acceptsRanges) return {};
  if (!info.etag.empty() && !info.etag.starts_with("W/")) return info.etag;
  return info.lastModified;
}

// Checks a file:// source without reading it: only a regular file is fetched.
// Returns why it cannot be, or the empty text with the transfer's localFd open
// on the file, so that libcurl reads the very file checked even if its name
// is taken by another one meanwhile (a FIFO would block libcurl's open for ever).
std::string DownloadSession::Impl::OpenLocal(Attempt& t, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR
               ? "no such file"
               : std::string("cannot read the file (") + std::strerror(errno) + ")";
  }
  if (!S_ISREG(st.st_mode)) return std::string("not a regular file: ") + KindOfFile(st.st_mode);
  // Non-blocking, in case a FIFO has taken the file's name since the check.
  t.localFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (t.localFd < 0) {
    if (NoDescriptor(errno)) return kNoDescriptors;
    return std::string("cannot read the file (") + std::strerror(errno) + ")";
  }
  struct stat opened {};
  if (fstat(t.localFd, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    return "the file changed while it was read";
  }
  t.localSize = opened.st_size;
  return {};
}

// Sets the transfer up and adds it to the multi handle. Returns why it cannot
// be, before anything is asked of any server; the empty text when it runs.
std::string DownloadSession::Impl::Begin(Attempt& t, const std::string& url,
                                         const std::string& path) {
  if (!multi) return startError;
  // Past the run's deadline nothing more is asked of any server.
  t.started = Clock::now();
  if (t.started >= limits.deadline) {
    t.info.outOfTime = true;
    return kOutOfTime;
  }
  // Checked before anything is asked of the server.
  struct stat st {};
  if (path.empty() || path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    return "the destination is not a file name: " + path;
  }
  // The URL as libcurl will read it: the same parse, so that a file:// source
  // is known as one and checked before libcurl opens it.
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parts(curl_url(), curl_url_cleanup);
  char* scheme = nullptr;
  if (!parts ||
      curl_url_set(parts.get(), CURLUPART_URL, url.c_str(),
                   CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
      curl_url_get(parts.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
    return "malformed URL";
  }
  t.local = strcasecmp(scheme, "file") == 0;
  const bool tls = strcasecmp(scheme, "https") == 0 || strcasecmp(scheme, "ftps") == 0;
  curl_free(scheme);
  if (tls && !trustError.empty()) return trustError;
  t.source = url;
  if (t.local) {
    char* decoded = nullptr;
    if (curl_url_get(parts.get(), CURLUPART_PATH, &decoded, CURLU_URLDECODE) != CURLUE_OK) {
      return "malformed URL";
    }
    const std::string localPath = decoded;
    curl_free(decoded);
    if (std::string refusal = OpenLocal(t, localPath); !refusal.empty()) return refusal;
    // libcurl opens the file already checked, by its descriptor.
    t.source = "file:///proc/self/fd/" + std::to_string(t.localFd);
  }
  if (!writer) {
    const int most = parallel == 1 ? 1 : parallel * DownloadSession::kStreamsPerConnection;
    writer = std::make_unique<DiskWriter>(DiskWriter::kBuffers + most, limits.deadline);
  }

  // A partial file of an earlier attempt is continued when it is of this URL
  // and destination; any other is dropped.
  if (t.request.resume != 0) {
    const auto found = partials.find(t.request.resume);
    if (found != partials.end()) {
      Partial partial = std::move(found->second);
      partials.erase(found);
      if (partial.url == url && partial.path == path && !t.local) {
        t.ticket = partial.ticket;
        t.offset = partial.size;
        t.resumeValidator = partial.validator;
        t.total = partial.total;
        t.tail = std::move(partial.tail);
        t.overlap = static_cast<int64_t>(t.tail.size());
      } else {
        writer->Abandon(partial.ticket);
      }
    }
  }
  if (t.ticket == 0) {
    // Raises when the folder is missing or not writable, before anything is
    // asked of the server; the writer thread makes and writes the file.
    TempFile::CheckFolder(path);
    t.ticket = writer->Begin(path);
  }
  curl_easy_setopt(t.curl, CURLOPT_URL, t.source.c_str());
  curl_easy_setopt(t.curl, CURLOPT_BUFFERSIZE,
                   running.empty() ? kReceiveBuffer : kSharedReceiveBuffer);
  // An https transfer to a host that another one is connecting to waits to
  // share that connection when its handshake settles on HTTP/2, rather than
  // opening one of its own. Not for plain http: there it would wait for the
  // first answer, one request after the other.
  curl_easy_setopt(t.curl, CURLOPT_PIPEWAIT, tls ? 1L : 0L);
  const bool deadline = limits.deadline != Clock::time_point::max();
  curl_easy_setopt(t.curl, CURLOPT_NOPROGRESS,
                   progress || limits.stallTimeout > 0 || deadline ? 0L : 1L);
  // libcurl itself stops the fetch at the deadline too, in every phase
  // (resolving, connecting, the TLS handshake), where the progress callback
  // may not be called. Rounded up, so that it does not stop before the
  // deadline; one further than a day away is left to the callback.
  t.left = std::chrono::ceil<std::chrono::milliseconds>(limits.deadline - t.started);
  curl_easy_setopt(t.curl, CURLOPT_TIMEOUT_MS,
                   deadline && t.left <= std::chrono::seconds(kLongestLimit)
                       ? static_cast<long>(t.left.count())
                       : 0L);
  // Conditions only for this request (and its redirects).
  if (!t.request.ifNoneMatch.empty()) {
    t.headers = curl_slist_append(t.headers, ("If-None-Match: " + t.request.ifNoneMatch).c_str());
  }
  if (!t.request.ifModifiedSince.empty()) {
    t.headers =
        curl_slist_append(t.headers, ("If-Modified-Since: " + t.request.ifModifiedSince).c_str());
  }
  t.conditional = t.headers != nullptr;
  if (t.offset > 0) {
    // From the overlap on: those bytes must come back as they are held.
    t.headers = curl_slist_append(t.headers, ("If-Range: " + t.resumeValidator).c_str());
    curl_easy_setopt(t.curl, CURLOPT_RANGE, (std::to_string(t.offset - t.overlap) + "-").c_str());
  } else {
    curl_easy_setopt(t.curl, CURLOPT_RANGE, nullptr);
  }
  curl_easy_setopt(t.curl, CURLOPT_HTTPHEADER, t.headers);
  // What goes out is watched for a password in clear only when there may be
  // one: in the URL, or from the netrc file.
  curl_easy_setopt(t.curl, CURLOPT_VERBOSE, !t.secrets.empty() || netrcFd >= 0 ? 1L : 0L);
  if (curl_multi_add_handle(multi, t.curl) != CURLM_OK) {
    if (t.offset > 0) t.offset = 0;  // the file is abandoned with the transfer
    return "cannot start the transfer";
  }
  return {};
}

// What became of a transfer libcurl has finished with `rc` (or that never
// began, with the reason in `refusal`).
TransferDone DownloadSession::Impl::Complete(std::unique_ptr<Attempt> owned, CURLcode rc) {
  Attempt& t = *owned;
  TransferDone done;
  done.id = t.id;
  t.info.status = t.HttpStatus();
  long version = 0;
  if (curl_easy_getinfo(t.curl, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
      version >= CURL_HTTP_VERSION_2_0 && !t.origin.empty()) {
    multiplexed.insert(t.origin);
  }
  // A time-out is the deadline's when the deadline came before the limit to
  // connect, or when it has (about) passed: libcurl's clock, not slewed by
  // NTP, may run up to 0.05% apart from ours.
  const bool deadline = limits.deadline != Clock::time_point::max();
  if (rc == CURLE_OPERATION_TIMEDOUT && deadline) {
    const auto now = Clock::now();
    const auto slack = std::chrono::milliseconds(100) + (now - t.started) / 1000;
    const long connectLimit = limits.connectTimeout > 0 ? limits.connectTimeout : 300;
    if (t.left < std::chrono::seconds(connectLimit) || now + slack >= limits.deadline) {
      t.outOfTime = true;
    }
  }
  t.info.outOfTime = t.outOfTime;
  // A continued transfer's answer with an empty body is looked at here, as no
  // data came for it: a 200 empties the file.
  if (rc == CURLE_OK && t.offset > 0) t.CheckBody();

  std::string reason = t.Reason(rc);
  const bool notModified =
      t.conditional && rc == CURLE_OK && t.info.status == 304 && t.refusedStatus == 0;
  if (reason.empty() && !notModified) {
    t.Hand();
    // The writer thread runs it later: it gets its own copy of what was said.
    writer->Commit(t.ticket, [last = t.request.beforeCommit, said = t.info](
                                 int fd, const ContentDigest& digest) {
      if (last) last(fd, said, digest);
    });
    done.ticket = t.ticket;
    done.info = t.info;
    idle.push_back(std::move(owned));
    return done;
  }
  // A shortage of descriptors is the run's own: waiting does not end it.
  const bool mayPass = !t.local && t.fileError.empty() && t.progressError.empty() && !t.outOfTime &&
                       !t.downgraded && reason != kNoDescriptors;
  t.info.transient =
      mayPass && (t.stalled || t.cutShort ||
                  TransientStatus(t.refusedStatus ? t.refusedStatus : t.info.status) ||
                  (t.refusedStatus == 0 && t.info.status < 400 && TransientCode(rc)));
  // A continued transfer whose answer cannot continue its file (a part other
  // than the one asked for, a 416, bytes asked for again that differ from
  // those held): the next attempt fetches the file whole.
  const bool restart = t.offset > 0 && (t.changed || t.refusedStatus == 206 || !t.refusal.empty() ||
                                        t.info.status == 416);
  if (restart && mayPass) t.info.transient = true;
  t.info.changed = t.changed;
  // A continued transfer broken before its answer's body began keeps its
  // partial file as it was.
  const bool untouched = t.offset > 0 && !t.bodyChecked && !restart && t.info.status != 206 &&
                         !Whole2xx(t.info.status);
  const std::string validator = untouched ? t.resumeValidator : t.ResumeValidator();
  const int64_t size = t.offset + t.written;
  const bool resumable =
      t.info.transient && !notModified && !restart && t.refusedStatus == 0 &&
      (untouched || (t.keepTail && size > 0 && size < t.total && !validator.empty() &&
                     (t.info.status == 200 || (t.offset > 0 && t.info.status == 206)))) &&
      !t.session->writer->Failed(t.ticket);
  if (resumable) {
    done.partial = ++lastPartial;
    partials.emplace(done.partial,
                     Partial{t.ticket, t.url, t.path, size, validator, t.total, t.Tail()});
    t.Hand();
  } else {
    if (t.buffer) writer->Return(t.buffer);
    t.buffer = nullptr;
    writer->Abandon(t.ticket);
  }
  // A write that failed is the reason, whatever the transfer made of it.
  std::string writeError;
  if (!t.fileError.empty() && !writer->Wait(t.ticket, &writeError)) {
    reason = ShortageNamed(writeError);
  }
  if (notModified) {
    t.info.notModified = true;
    reason = "not modified";  // nothing was written; the earlier copy stands
  }
  done.info = t.info;
  // A reason can quote libcurl or a server; it must not show a password.
  done.error = Scrubbed(std::move(reason), std::move(t.secrets));
  idle.push_back(std::move(owned));
  return done;
}

// Why the fetch failed, or the empty text when it succeeded: for HTTP only a
// 2xx final answer whose body came whole (a continued transfer's 206 included),
// for a local file only all of its bytes.
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
  switch (rc) {
    case CURLE_COULDNT_CONNECT:
      if (noSocket || NoDescriptor(static_cast<int>(osError))) return kNoDescriptors;
      if (osError == ECONNREFUSED) return "connection refused";
      if (osError == ENETUNREACH) return "network unreachable";
      if (osError == EHOSTUNREACH) return "host unreachable";
      if (osError == ETIMEDOUT) return "no connection (timed out)";
      return "could not connect";
    case CURLE_OPERATION_TIMEDOUT:
      return "no connection within " + std::to_string(session->limits.connectTimeout) + " s";
    case CURLE_COULDNT_RESOLVE_HOST:
      if (DescriptorsExhausted()) return kNoDescriptors;
      if (StartsWith(detail, "Could not resolve host: ")) {
        return "could not resolve host " + std::string(detail + 24);
      }
      return "could not resolve host";
    case CURLE_COULDNT_RESOLVE_PROXY:
      return "could not resolve proxy";
    case CURLE_PEER_FAILED_VERIFICATION:
      if (!session->trustError.empty()) return session->trustError;  // an https redirect's target
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
      if (!session->trustError.empty()) return session->trustError;
      return session->caFile.empty() ? "cannot read the trusted certificates"
                                     : "cannot read the trusted certificates " + session->caFile;
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

void DownloadSession::Impl::Trust(const DownloadTrust& trust) {
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
}

DownloadSession::DownloadSession(DownloadLimits limits, DownloadTrust trust, int parallel)
    : impl_(std::make_unique<Impl>()) {
  // A longer limit would overflow the clock arithmetic and is no limit anyway.
  limits.connectTimeout = std::min(limits.connectTimeout, kLongestLimit);
  limits.stallTimeout = std::min(limits.stallTimeout, kLongestLimit);
  impl_->limits = limits;
  // Never more at once than the descriptors allow: a run allowed few goes on
  // one at a time rather than failing entries for want of them.
  impl_->parallel = std::min(std::clamp(parallel, 1, kMostParallel), TransfersDescriptorsAllow());
  impl_->startError = GlobalInitError();
  if (!impl_->startError.empty()) return;
  impl_->multi = curl_multi_init();
  if (!impl_->multi) {
    impl_->startError = "cannot start libcurl";
    return;
  }
  // As many connections to one host as transfers at once; over HTTP/2 they
  // share one as streams.
  curl_multi_setopt(impl_->multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(impl_->parallel));
  curl_multi_setopt(impl_->multi, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
  // TLS sessions are shared, so that a second connection to a host resumes the
  // first one's session instead of a whole handshake.
  impl_->share = curl_share_init();
  if (impl_->share) curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  impl_->Trust(trust);
}

DownloadSession::~DownloadSession() = default;

bool DownloadSession::Fetch(const std::string& url, const std::string& path,
                            const FetchRequest& request) {
  const TransferDone done = Transfer(url, path, request);
  if (done.partial != 0) Drop(done.partial);
  return done.ticket != 0 && Settle(done.ticket, &impl_->lastError);
}

TransferDone DownloadSession::Transfer(const std::string& url, const std::string& path,
                                       const FetchRequest& request) {
  const uint64_t id = Start(url, path, request);
  for (;;) {
    for (TransferDone& done : Wait(Clock::time_point::max())) {
      if (done.id != id) continue;
      impl_->info = done.info;
      impl_->lastError = done.error;
      return std::move(done);
    }
  }
}

uint64_t DownloadSession::Start(const std::string& url, const std::string& path,
                                const FetchRequest& request) {
  Impl& s = *impl_;
  const uint64_t id = ++s.lastId;
  std::unique_ptr<Attempt> t;
  std::string refusal;
  try {
    t = s.Handle();
    t->Reset();
    t->id = id;
    t->url = url;
    t->origin = OriginOf(url);
    t->path = path;
    t->request = request;
    AddSecrets(url, &t->secrets);
    refusal = s.Begin(*t, url, path);
  } catch (const Error& e) {
    refusal = e.Description();
  } catch (const std::bad_alloc&) {
    refusal = "out of memory";
  } catch (const std::exception& e) {
    refusal = e.what();
  }
  if (refusal.empty()) {
    ++s.runningTo[t->origin];
    t->alone = !s.multiplexed.count(t->origin);
    s.runningAlone += t->alone;
    s.running.emplace(id, std::move(t));
    return id;
  }
  TransferDone done;
  done.id = id;
  if (t) {
    done.info = t->info;
    if (t->ticket != 0) s.writer->Abandon(t->ticket);
    done.error = Scrubbed(std::move(refusal), std::move(t->secrets));
    t->Reset();
    s.idle.push_back(std::move(t));
  } else {
    std::vector<std::string> secrets;
    AddSecrets(url, &secrets);
    done.error = Scrubbed(std::move(refusal), std::move(secrets));
  }
  // A partial file handed over and not taken is dropped with the transfer.
  if (request.resume != 0) Drop(request.resume);
  s.refused.push_back(std::move(done));
  return id;
}

std::vector<TransferDone> DownloadSession::Wait(Clock::time_point until) {
  Impl& s = *impl_;
  std::vector<TransferDone> finished = std::move(s.refused);
  s.refused.clear();
  while (finished.empty() && !s.running.empty()) {
    int stillRunning = 0;
    curl_multi_perform(s.multi, &stillRunning);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(s.multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Attempt* handle = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &handle);
      const CURLcode rc = message->data.result;
      const auto found = s.running.find(handle->id);
      curl_multi_remove_handle(s.multi, message->easy_handle);
      std::unique_ptr<Attempt> owned = std::move(found->second);
      s.running.erase(found);
      if (--s.runningTo[owned->origin] == 0) s.runningTo.erase(owned->origin);
      s.runningAlone -= owned->alone;
      finished.push_back(s.Complete(std::move(owned), rc));
    }
    // Also when more transfers may start now.
    if (!finished.empty() || std::exchange(s.roomGrew, false)) break;
    const auto now = Clock::now();
    if (now >= until) break;
    // At most a second at a time, so that each transfer's progress callback
    // (which watches for stalls and the deadline) runs at least that often.
    const auto wait = std::min<Clock::duration>(until - now, std::chrono::seconds(1));
    const int ms = static_cast<int>(
        std::max<int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    curl_multi_poll(s.multi, nullptr, 0, ms, nullptr);
  }
  return finished;
}

int DownloadSession::Running() const {
  // Those refused at the start count until the next Wait tells them.
  return static_cast<int>(impl_->running.size() + impl_->refused.size());
}

int DownloadSession::Parallel() const {
  return impl_->parallel;
}

int DownloadSession::MostTransfers() const {
  return impl_->parallel == 1 ? 1 : impl_->parallel * kStreamsPerConnection;
}

std::string DownloadSession::Origin(const std::string& url) {
  return OriginOf(url);
}

bool DownloadSession::HasRoomFor(const std::string& origin) const {
  const Impl& s = *impl_;
  if (Running() >= MostTransfers()) return false;
  if (s.parallel > 1 && s.multiplexed.count(origin)) return true;
  return s.runningAlone + static_cast<int>(s.refused.size()) < s.parallel;
}

void DownloadSession::Drop(uint64_t partial) {
  const auto found = impl_->partials.find(partial);
  if (found == impl_->partials.end()) return;
  impl_->writer->Abandon(found->second.ticket);
  impl_->partials.erase(found);
}

bool DownloadSession::Settle(uint64_t ticket, std::string* reason) {
  if (impl_->writer->Wait(ticket, reason)) return true;
  if (reason) *reason = ShortageNamed(std::move(*reason));
  return false;
}

bool DownloadSession::Settled(uint64_t ticket) const {
  return !impl_->writer || impl_->writer->Settled(ticket);
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

std::vector<std::string> DownloadSession::RunNotes() const {
  const std::vector<std::string>& origins = impl_->clearOrigins;
  if (origins.empty()) return {};
  std::string line = "a password was sent unencrypted, to " + origins.front();
  if (origins.size() > 1) line += " and " + std::to_string(origins.size() - 1) + " more";
  return {line + "; https or ftps would keep it secret"};
}

void DownloadSession::OnProgress(std::function<void(uint64_t, const DownloadProgress&)> callback) {
  impl_->progress = std::move(callback);
}

}  // namespace fw
