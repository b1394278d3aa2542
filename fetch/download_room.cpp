// How many transfers the session runs at once, and to which hosts: Parallel
// to hosts that answered over HTTP/1, kStreamsPerParallel times as many to
// those that answered over HTTP/2 (their transfers share a connection as
// streams, at most kStreamsPerHost to one host, so that none needs a second
// connection), never more than the process's descriptors allow.
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <memory>

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

int DownloadSession::Impl::MostTransfers() const {
  return parallel == 1 ? 1 : parallel * DownloadSession::kStreamsPerParallel;
}

void DownloadSession::Impl::TakeRoom(Attempt& t) {
  t.alone = !multiplexed.count(t.origin);
  runningAlone += t.alone;
  ++runningTo[t.origin];
}

void DownloadSession::Impl::FreeRoom(const Attempt& t) {
  runningAlone -= t.alone;
  const auto to = runningTo.find(t.origin);
  if (to != runningTo.end() && --to->second <= 0) runningTo.erase(to);
}

bool DownloadSession::Impl::Multiplexes(const std::string& origin) {
  return !origin.empty() && multiplexed.insert(origin).second;
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
