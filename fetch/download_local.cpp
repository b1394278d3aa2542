// What libcurl is asked for. A file:// source is checked before libcurl opens
// it, and libcurl then reads the very file checked, by its descriptor.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "fetch/download_internal.h"
#include "platform/files.h"

namespace fw {

std::string DownloadSession::Impl::Source(Attempt& t, const std::string& url, bool* tls) {
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
  *tls = strcasecmp(scheme, "https") == 0 || strcasecmp(scheme, "ftps") == 0;
  curl_free(scheme);
  t.source = url;
  if (!t.local) return {};
  char* decoded = nullptr;
  if (curl_url_get(parts.get(), CURLUPART_PATH, &decoded, CURLU_URLDECODE) != CURLUE_OK) {
    return "malformed URL";
  }
  const std::string localPath = decoded;
  curl_free(decoded);
  if (std::string refusal = OpenLocal(t, localPath); !refusal.empty()) return refusal;
  t.source = "file:///proc/self/fd/" + std::to_string(t.localFd);
  return {};
}

// Only a regular file is fetched, checked without reading it (a FIFO would
// block libcurl's open for ever). Returns why it cannot be, or the empty text
// with t.localFd open on the file checked.
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

}  // namespace fw
