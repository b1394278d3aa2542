#include "fetch/download.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>
#include <vector>

#include "fetch/download_internal.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/temp_file.h"

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

const std::string& GlobalInitError() {
  static const std::string error = [] {
    CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    return rc == CURLE_OK ? std::string()
                          : std::string("cannot start libcurl: ") + curl_easy_strerror(rc);
  }();
  return error;
}

}  // namespace

DownloadSession::Impl::~Impl() {
  for (auto& [id, t] : running) {
    curl_multi_remove_handle(multi, t->curl);
    idle.push_back(std::move(t));
  }
  running.clear();
  for (auto& t : idle) {
    if (t->curl) curl_easy_cleanup(t->curl);
    curl_slist_free_all(t->headers);
    curl_slist_free_all(t->sent);
    if (t->localFd >= 0) close(t->localFd);
  }
  // The writer discards the files it was not asked to commit (partials too).
  writer.reset();
  if (multi) curl_multi_cleanup(multi);
  if (share) curl_share_cleanup(share);
  if (netrcFd >= 0) close(netrcFd);
}

std::unique_ptr<Attempt> DownloadSession::Impl::Handle() {
  if (!idle.empty()) {
    std::unique_ptr<Attempt> t = std::move(idle.back());
    idle.pop_back();
    // A handle remembers the login scheme its last server asked for, and would
    // send the next URL's password that way unasked (Basic, in clear over
    // http): each transfer starts from a handle as new, configured again.
    curl_easy_reset(t->curl);
    Configure(*t);
    return t;
  }
  auto t = std::make_unique<Attempt>();
  t->session = this;
  t->curl = curl_easy_init();
  if (!t->curl) throw Error(kOutOfMemory, "cannot start libcurl");
  Configure(*t);
  return t;
}

std::string DownloadSession::Impl::Begin(Attempt& t, const std::string& url,
                                         const std::string& path) {
  if (!multi) return startError;
  // Past the run's deadline nothing more is asked of any server.
  t.started = Clock::now();
  if (t.started >= limits.deadline) {
    t.info.outOfTime = true;
    return kOutOfTime;
  }
  struct stat st {};
  if (path.empty() || path.back() == '/' || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
    return "the destination is not a file name: " + path;
  }
  bool tls = false;
  if (std::string refusal = Source(t, url, &tls); !refusal.empty()) return refusal;
  if (tls && !trustError.empty()) return trustError;
  if (!writer) {
    writer = std::make_unique<DiskWriter>(DiskWriter::kBuffers + MostTransfers(), limits.deadline);
  }
  TakePartial(t, url, path);
  if (t.ticket == 0) {
    // Raises when the folder is missing or not writable, before anything is
    // asked of the server; the writer thread makes and writes the file.
    TempFile::CheckFolder(path);
    t.ticket = writer->Begin(path);
  }
  SetOptions(t, tls);
  if (curl_multi_add_handle(multi, t.curl) != CURLM_OK) {
    if (t.offset > 0) t.offset = 0;  // the file is abandoned with the transfer
    return "cannot start the transfer";
  }
  return {};
}

// The options of this one transfer: its source, time limits and conditions.
void DownloadSession::Impl::SetOptions(Attempt& t, bool tls) {
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
  // Conditions only for this request (and its redirects); a validator that
  // could end its header (from an older record) is left out.
  if (!t.request.ifNoneMatch.empty() && HeaderSafe(t.request.ifNoneMatch)) {
    t.headers = curl_slist_append(t.headers, ("If-None-Match: " + t.request.ifNoneMatch).c_str());
  }
  if (!t.request.ifModifiedSince.empty() && HeaderSafe(t.request.ifModifiedSince)) {
    t.headers =
        curl_slist_append(t.headers, ("If-Modified-Since: " + t.request.ifModifiedSince).c_str());
  }
  t.conditional = t.headers != nullptr;
  t.AskRest();
  curl_easy_setopt(t.curl, CURLOPT_HTTPHEADER, t.headers);
  // What goes out is watched for a password in clear only when there may be
  // one: in the URL, or from the netrc file.
  curl_easy_setopt(t.curl, CURLOPT_VERBOSE, !t.secrets.empty() || netrcFd >= 0 ? 1L : 0L);
}

TransferDone DownloadSession::Impl::Complete(std::unique_ptr<Attempt> owned, CURLcode rc) {
  Attempt& t = *owned;
  t.info.status = t.status;
  long version = 0;
  if (curl_easy_getinfo(t.curl, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
      version >= CURL_HTTP_VERSION_2_0) {
    Multiplexes(t.rides);  // where the last request went
  }
  NoteOutOfTime(t, rc);
  // A continued transfer's answer with an empty body is looked at here, as no
  // data came for it: a 200 empties the file.
  if (rc == CURLE_OK && t.offset > 0) t.CheckBody();
  std::string reason = t.Reason(rc);
  const bool notModified =
      t.conditional && rc == CURLE_OK && t.info.status == 304 && t.refusedStatus == 0;
  TransferDone done =
      reason.empty() && !notModified ? Succeeded(t) : Failed(t, rc, notModified, std::move(reason));
  done.id = t.id;
  idle.push_back(std::move(owned));
  return done;
}

// A time-out is the deadline's when the deadline came before the limit to
// connect, or when it has (about) passed: libcurl's clock, not slewed by NTP,
// may run up to 0.05% apart from ours.
void DownloadSession::Impl::NoteOutOfTime(Attempt& t, CURLcode rc) {
  if (rc == CURLE_OPERATION_TIMEDOUT && limits.deadline != Clock::time_point::max()) {
    const auto now = Clock::now();
    const auto slack = std::chrono::milliseconds(100) + (now - t.started) / 1000;
    const long connectLimit = limits.connectTimeout > 0 ? limits.connectTimeout : 300;
    if (t.left < std::chrono::seconds(connectLimit) || now + slack >= limits.deadline) {
      t.outOfTime = true;
    }
  }
  t.info.outOfTime = t.outOfTime;
}

TransferDone DownloadSession::Impl::Succeeded(Attempt& t) {
  t.Hand();
  // The writer thread runs it later: it gets its own copy of what was said.
  writer->Commit(t.ticket, [last = t.request.beforeCommit, said = t.info](
                               int fd, const ContentDigest& digest) {
    if (last) last(fd, said, digest);
  });
  TransferDone done;
  done.ticket = t.ticket;
  done.info = t.info;
  return done;
}

// A failed transfer (a 304 to a conditional request included): whether the
// failure may pass, what is kept for the next attempt, and why, secrets hidden.
TransferDone DownloadSession::Impl::Failed(Attempt& t, CURLcode rc, bool notModified,
                                           std::string reason) {
  // A continued transfer whose answer cannot continue its file: the next
  // attempt fetches the file whole.
  const bool restart = t.Restarts();
  t.info.transient = t.MayPass(reason) && (restart || t.Transient(rc));
  t.info.changed = t.changed;
  TransferDone done;
  done.partial = KeepPartial(t, notModified, restart);
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
  return done;
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
  // share one as streams, as many as HasRoomFor lets run to one host.
  curl_multi_setopt(impl_->multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                    static_cast<long>(impl_->parallel));
  curl_multi_setopt(impl_->multi, CURLMOPT_MAX_CONCURRENT_STREAMS,
                    static_cast<long>(kStreamsPerHost));
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
    s.TakeRoom(*t);
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
    s.PutBackReadied();
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(s.multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Attempt* handle = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &handle);
      const CURLcode rc = message->data.result;
      if (handle->held) {
        s.Hold(*handle);
        continue;
      }
      curl_multi_remove_handle(s.multi, message->easy_handle);
      std::unique_ptr<Attempt> owned = s.TakeOut(handle->id);
      // Its stream, or the connection it was setting up, is free.
      const std::string freed = owned->rides.empty() ? owned->origin : owned->rides;
      finished.push_back(s.Complete(std::move(owned), rc));
      if (!s.held.empty()) s.PutBack(freed, !s.carriedTo.count(freed));
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

void DownloadSession::OnProgress(std::function<void(uint64_t, const DownloadProgress&)> callback) {
  impl_->progress = std::move(callback);
}

}  // namespace fw
