// How many transfers the session runs at once, and to which hosts: Parallel
// to hosts that answered over HTTP/1, kStreamsPerParallel times as many to
// those that answered over HTTP/2 (their transfers share a connection as
// streams, at most kStreamsPerHost to one host, so that none needs a second
// connection), never more than the process's descriptors allow. A server
// that allows fewer streams on a connection gets only as many connections as
// `parallel` streams need: a transfer that would open one more waits for a
// stream to end.
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

#include "fetch/download_internal.h"

namespace fw {

// Each transfer takes a socket, a temporary file and, while its host's name
// is looked up, two more; a quarter of the soft limit is left to the files
// made ahead and held by the writer, and a few to the rest of the run.
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

// Adds `by` to the count of `origin`; a count of none is no entry.
static void Count(std::map<std::string, int>& counts, const std::string& origin, int by) {
  const auto [at, added] = counts.try_emplace(origin, 0);
  if ((at->second += by) <= 0) counts.erase(at);
}

int DownloadSession::Impl::MostTransfers() const {
  return parallel == 1 ? 1 : parallel * DownloadSession::kStreamsPerParallel;
}

void DownloadSession::Impl::TakeRoom(Attempt& t) {
  t.alone = !multiplexed.count(t.origin);
  runningAlone += t.alone;
  ++runningTo[t.origin];
}

std::unique_ptr<Attempt> DownloadSession::Impl::TakeOut(uint64_t id) {
  const auto found = running.find(id);
  std::unique_ptr<Attempt> owned = std::move(found->second);
  running.erase(found);
  FreeRoom(*owned);
  return owned;
}

void DownloadSession::Impl::FreeRoom(const Attempt& t) {
  runningAlone -= t.alone;
  Count(runningTo, t.origin, -1);
  if (!t.rides.empty()) Count(carriedTo, t.rides, -1);
  if (t.connecting) Count(connectingTo, t.origin, -1);
}

bool DownloadSession::Impl::Multiplexes(const std::string& origin) {
  return !origin.empty() && multiplexed.insert(origin).second;
}

void DownloadSession::Impl::Carried(Attempt& t, const std::string& to, std::string connection) {
  t.carried = true;
  if (std::exchange(t.connecting, false)) Count(connectingTo, t.origin, -1);
  if (t.rides != to) {
    // Redirected: its stream to where it was has ended.
    if (!t.rides.empty()) {
      Count(carriedTo, t.rides, -1);
      if (!held.empty()) readied.push_back(t.rides);
    }
    if (!to.empty()) Count(carriedTo, to, 1);
    t.rides = to;
  }
  t.connection = std::move(connection);
  t.unanswered = true;
  // Another request awaits its answer on the same connection: it carries
  // them as streams (HTTP/1.1 sends the next only once one is answered).
  // Known now, before any answer, so that no transfer opens a connection the
  // streams make needless.
  if (to.starts_with("https://") && !multiplexed.count(to)) {
    for (const auto& [id, other] : running) {
      if (other.get() != &t && other->unanswered && other->connection == t.connection) {
        roomGrew = Multiplexes(to) || roomGrew;
        break;
      }
    }
  }
  // Its connection took one more stream; it may take the next held one too.
  if (!held.empty()) readied.push_back(to);
}

bool DownloadSession::Impl::MayConnect(Attempt& t) {
  if (t.connecting) return true;  // its next address
  if (parallel > 1 && multiplexed.count(t.origin) &&
      (connectingTo.count(t.origin) ||
       (carriedTo.count(t.origin) && carriedTo.at(t.origin) >= parallel))) {
    return false;
  }
  t.connecting = true;
  Count(connectingTo, t.origin, 1);
  return true;
}

void DownloadSession::Impl::Hold(Attempt& t) {
  curl_multi_remove_handle(multi, t.curl);
  if (t.connecting) Count(connectingTo, t.origin, -1);
  t.connecting = false;
  held.push_back(&t);
  if (!carriedTo.count(t.origin) && !connectingTo.count(t.origin)) PutBack(t.origin, true);
}

// One put back to a full connection asks for a new one again, and is held
// again or gets it. They go back one at a time while connections take them,
// so that each asks with the streams of the one before counted.
void DownloadSession::Impl::PutBack(const std::string& origin, bool all) {
  for (auto at = held.begin(); at != held.end();) {
    Attempt& t = **at;
    if (t.origin != origin) {
      ++at;
      continue;
    }
    at = held.erase(at);
    t.held = false;
    if (curl_multi_add_handle(multi, t.curl) != CURLM_OK) {
      // Told at the next Wait, as a transfer refused at its start is.
      refused.push_back(Complete(TakeOut(t.id), CURLE_OUT_OF_MEMORY));
    }
    if (!all) return;
  }
}

void DownloadSession::Impl::PutBackReadied() {
  for (const std::string& origin : std::exchange(readied, {})) PutBack(origin, false);
}

std::string DownloadSession::Origin(const std::string& url) {
  return OriginOf(url);
}

int DownloadSession::Running() const {
  // Those refused at the start count until the next Wait tells them.
  return static_cast<int>(impl_->running.size() + impl_->refused.size());
}

int DownloadSession::MostTransfers() const {
  return impl_->MostTransfers();
}

bool DownloadSession::HasRoomFor(const std::string& origin) const {
  const Impl& s = *impl_;
  if (Running() >= MostTransfers()) return false;
  if (s.parallel > 1 && s.multiplexed.count(origin)) {
    const auto to = s.runningTo.find(origin);
    return to == s.runningTo.end() || to->second < kStreamsPerHost;
  }
  return s.runningAlone + static_cast<int>(s.refused.size()) < s.parallel;
}

}  // namespace fw
