// One transfer's handle: its options, and what libcurl calls during the
// transfer (a request going out, header lines, body data, progress).
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "fetch/download_internal.h"
#include "fetch/http_header.h"

#ifndef CURL_WRITEFUNC_ERROR
#define CURL_WRITEFUNC_ERROR 0
#endif

namespace fw {
namespace {

// Whether `url` names an http or an https resource; nullopt for other schemes.
std::optional<bool> HttpsUrl(const char* url) {
  if (url == nullptr) return std::nullopt;
  if (strncasecmp(url, "https://", 8) == 0) return true;
  if (strncasecmp(url, "http://", 7) == 0) return false;
  return std::nullopt;
}

}  // namespace

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
  curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
  // A login (the URL's or the netrc file's) goes by Basic or Digest, as the
  // server asks: the first request goes without it, to learn which.
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  // FTP logs in over TLS when the server offers it (AUTH TLS).
  curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
  // A proxy's answer to CONNECT is no answer of the server's.
  curl_easy_setopt(curl, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Watches what goes out for a password in clear (only when the transfer
  // may carry one: see SetOptions).
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

// Everything but the handle and its session goes back to how a new one is;
// errbuf stays where libcurl writes it.
void Attempt::Reset() {
  curl_slist_free_all(headers);
  curl_slist_free_all(sent);
  if (localFd >= 0) close(localFd);
  DownloadSession::Impl* const owner = session;
  CURL* const handle = curl;
  *this = Attempt();
  session = owner;
  curl = handle;
}

bool Attempt::ChooseHeaders(const char* where) {
  bool whole = true;
  std::vector<std::string> extra;
  try {
    // libcurl keeps a custom Authorization or Cookie header from other hosts
    // by itself, but sends every other one wherever a redirect leads.
    elsewhere = elsewhere || where == nullptr || OriginOf(where) != origin;
    if (!elsewhere) extra = session->headersFor(where);
  } catch (const std::exception&) {
    whole = false;  // out of memory: no exception may cross libcurl
  }
  curl_slist* list = nullptr;
  const auto add = [&](const char* header) {
    curl_slist* grown = whole ? curl_slist_append(list, header) : nullptr;
    whole = grown != nullptr;
    if (whole) list = grown;
  };
  for (const std::string& header : extra) {
    if (!HeaderSafe(header)) continue;
    // The fetch's own come first, once there is any other.
    if (!list) {
      for (curl_slist* own = headers; own; own = own->next) add(own->data);
    }
    add(header.c_str());
  }
  if (!whole) {
    curl_slist_free_all(list);
    list = nullptr;
  }
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list ? list : headers);
  // The previous request's list is no longer read: each request's headers
  // are made as it goes out, after this callback.
  curl_slist_free_all(sent);
  sent = list;
  return whole;
}

// A connection is ready and a request about to go out (also after each
// redirect): from now on, silence counts as a stall. Once a request of the
// fetch has gone over https, none goes over plain http: the login of the URL
// or of the netrc file would travel in clear, and the answer could be
// anyone's. Nothing has been sent on the new connection yet; the request's
// headers are chosen now, for where it goes.
int Attempt::OnRequest(void* self, char* remoteIp, char* localIp, int remotePort, int localPort) {
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
  if (t->session->headersFor && !t->ChooseHeaders(url)) {
    t->fileError = "out of memory";
    return CURL_PREREQFUNC_ABORT;
  }
  try {
    // The URL asked for, unless a redirect has led elsewhere: no parsing then.
    const std::string to = url && t->source == url ? t->origin : OriginOf(url ? url : "");
    std::string connection;  // only where it may show the host speaks HTTP/2
    if (to.starts_with("https://") && !t->session->multiplexed.count(to)) {
      connection = std::string(remoteIp ? remoteIp : "") + " " + std::to_string(remotePort) + " " +
                   (localIp ? localIp : "") + " " + std::to_string(localPort);
    }
    t->session->Carried(*t, to, std::move(connection));
  } catch (const std::bad_alloc&) {  // no exception may cross libcurl
    t->fileError = "out of memory";
    return CURL_PREREQFUNC_ABORT;
  }
  t->waiting = true;
  t->lastHeard = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Makes the sockets of the session's connections, noting when the process has
// no descriptor left for one. The first connection of a transfer to an
// HTTP/2 host that needs no more is refused (Impl::MayConnect): the transfer
// waits to ride one that is there.
curl_socket_t Attempt::OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
  auto* t = static_cast<Attempt*>(self);
  if (!t->carried) {
    // Refused for one address, it may still connect to the next.
    try {
      t->held = !t->session->MayConnect(*t);
    } catch (const std::bad_alloc&) {  // no exception may cross libcurl
      t->fileError = "out of memory";
      return CURL_SOCKET_BAD;
    }
    if (t->held) return CURL_SOCKET_BAD;
  }
  const int fd = socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
  if (fd < 0 && NoDescriptor(errno)) t->noSocket = true;
  return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// Each header line of each answer (redirects and interim answers included).
size_t Attempt::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* t = static_cast<Attempt*>(self);
  t->lastHeard = Clock::now();
  std::string_view line(data, size * count);
  std::string value;
  if (line.starts_with("HTTP/")) {  // the status line: a new answer begins
    t->unanswered = false;
    // The host the request went to speaks HTTP/2: more transfers may go to
    // it at once.
    if (line.starts_with("HTTP/2") && t->session->Multiplexes(t->rides)) {
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
    // A validator is sent back later: one that could end its header is none.
    if (HeaderSafe(value)) t->info.etag = value;
  } else if (HeaderValue(line, "last-modified", &value)) {
    if (HeaderSafe(value)) t->info.lastModified = value;
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

// A continued transfer takes a 206 that is the very part asked for (see
// CheckPart); a whole answer replaces what earlier attempts brought (see
// CheckWhole). libcurl already fails on an error status; this also covers the
// answers it passes through: an error page of some authentication replies, a
// 3xx it does not follow, a 206 or 304 not asked for.
void Attempt::CheckBody() {
  if (bodyChecked) return;
  bodyChecked = true;
  if (status == 0) return;
  if (conflicting && status >= 200 && status <= 299) {
    // Which of two lengths is true cannot be told: neither is taken.
    refusal = "the server announced two different lengths";
    refusedStatus = status;
  } else if (offset > 0 && status == 206) {
    CheckPart();
  } else if (!Whole2xx(status)) {
    refusedStatus = status;
  } else {
    CheckWhole();
  }
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
  const size_t length = size * count;
  t->received += static_cast<int64_t>(length);
  if (t->offset > 0 && t->received > t->total - (t->offset - t->overlap)) {
    t->refusal = "the server sent more than the part asked for";
    t->refusedStatus = t->status;
    return CURL_WRITEFUNC_ERROR;
  }
  // The bytes asked for again must be those held; they are not written twice.
  const size_t same = t->Repeated(data, length);
  if (t->changed) return CURL_WRITEFUNC_ERROR;
  try {
    t->Append(data + same, length - same);
  } catch (const std::bad_alloc&) {
    t->fileError = "out of memory";
    return CURL_WRITEFUNC_ERROR;
  }
  return length;
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

void Attempt::Hand() {
  if (!buffer) return;
  if (buffer->used > 0) {
    session->writer->Fill(ticket, buffer);
  } else {
    session->writer->Return(buffer);
  }
  buffer = nullptr;
}

}  // namespace fw
