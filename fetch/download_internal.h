// Private to fetch/download*.cpp: the state of a DownloadSession and of each
// of its transfers, shared by the files that make the session up.
//
//   download.cpp           the session: starting, waiting for and ending transfers
//   download_transfer.cpp  one transfer's handle and what libcurl calls during it
//   download_failure.cpp   why a transfer failed, and whether that may pass
//   download_resume.cpp    the partial file kept between attempts, and continuing it
//   download_room.cpp      how many transfers may run at once, and to which host
//   download_trust.cpp     the certificates trusted, the netrc file, logins in clear
//   download_local.cpp     what libcurl is asked for: a file:// source is checked first
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fetch/disk_writer.h"
#include "fetch/download.h"

namespace fw {

using Clock = std::chrono::steady_clock;

// How many bytes before the end of a partial file a continued request asks
// for again, to be compared with those held: a difference means the resource
// changed on the server, whatever its validators say.
constexpr int64_t kOverlap = 64 * 1024;

constexpr char kOutOfTime[] = "the run's time limit was reached";
constexpr char kNoDescriptors[] = "too many open files";

// Whether an HTTP status is one whose body is the whole file: a 2xx other than
// 206, which only brings a part.
inline bool Whole2xx(long status) {
  return status >= 200 && status <= 299 && status != 206;
}

// Whether a system error means the process has no descriptor left.
bool NoDescriptor(int error);
// `reason` of a file that could not be made or written, kNoDescriptors when it
// ends in the system's text for a shortage of descriptors.
std::string ShortageNamed(std::string reason);
// Adds the secrets a URL's user information carries ("user:password@": all of
// it, and the password as written and as decoded) to `secrets`. Read from the
// text itself, so that a URL libcurl cannot parse gives them too.
void AddSecrets(const std::string& url, std::vector<std::string>* secrets);
// `text` with every secret replaced by "***".
std::string Scrubbed(std::string text, std::vector<std::string> secrets);
// The origin of `url`, "scheme://host:port" in lower case; empty when it has
// none libcurl can read.
std::string OriginOf(const std::string& url);
// Whether `text` may go in a request's header: no control byte but a tab.
bool HeaderSafe(std::string_view text);
// How many transfers the process's descriptors allow at once (1 at least).
int TransfersDescriptorsAllow();

// One transfer's handle and what it has learnt so far. The handles are kept
// between transfers, each reset and configured anew as it is taken again (the
// TLS sessions are the session's, shared).
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
  // The fetch's own headers: conditions, If-Range.
  curl_slist* headers = nullptr;
  // The headers of the request going out: the fetch's own followed by the
  // session's for its URL (DownloadTrust::headers); null while there are none
  // of the latter.
  curl_slist* sent = nullptr;
  bool elsewhere = false;  // a request of the fetch went to another origin
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
  bool connecting = false;  // opened a socket to `origin`, no request out yet
  bool carried = false;     // a request went out
  bool held = false;        // refused a new connection to its origin (Impl::MayConnect)
  // Where its latest request went: the origin whose connection carries it
  // (counted there), that connection by the addresses and ports of its two
  // ends, and whether the request still awaits the status line of its answer.
  std::string rides;
  std::string connection;
  bool unanswered = false;
  std::string fileError;  // the temporary file could not be written
  std::string progressError;
  // The HTTP answer being received: what its headers said. Its status is read
  // from its own status line, not from libcurl's response code: that one also
  // takes FTP replies, even those of another transfer's connection that
  // libcurl closes through this handle ("221 Goodbye").
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

  // Readies the handle for the next transfer.
  void Reset();
  // Sets the headers of the request to `where` about to go out (see `sent`);
  // false when there is no memory for them.
  bool ChooseHeaders(const char* where);
  // Looks once at the final answer's status, before its body is taken.
  void CheckBody();
  // Copies received bytes into the writer's buffers, handing each over full.
  void Append(const char* data, size_t size);
  // Hands what is left in the buffer over to the file.
  void Hand();

  // Why the fetch failed with `rc`, or the empty text when it succeeded.
  std::string Reason(CURLcode rc);
  // Whether a failure with `reason` may pass by itself at all, and whether
  // `rc`, the status or a stall say it does.
  bool MayPass(const std::string& reason) const;
  bool Transient(CURLcode rc) const;

  // A continued transfer: asks for the rest of the file, from the overlap on.
  void AskRest();
  // Whether the answer cannot continue the file: the next attempt starts anew.
  bool Restarts() const;
  // How many of `size` bytes at `data` are bytes asked for again, compared
  // with those held (`changed` is set when they differ).
  size_t Repeated(const char* data, size_t size);
  // The validator a continued request may carry in If-Range: a strong ETag,
  // or else the Last-Modified date; empty when the answer cannot be continued.
  std::string ResumeValidator() const;
  // The last bytes of the file as it is now (kOverlap of them, or all).
  std::string Tail() const;

  static size_t OnData(char* data, size_t size, size_t count, void* self);
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static int OnRequest(void* self, char* remoteIp, char* localIp, int remotePort, int localPort);
  static curl_socket_t OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address);
  static int OnTransferInfo(void* self, curl_off_t, curl_off_t now, curl_off_t, curl_off_t);
  static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);

 private:
  std::string StatusReason(long code) const;
  std::string CurlReason(CURLcode rc);
  std::string DetailedReason(CURLcode rc, long osError);
  bool IsHttp();
  void CheckPart();
  void CheckWhole();
  std::string PartRefusal() const;
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
  // DownloadTrust::headers, and the User-Agent header.
  std::function<std::vector<std::string>(const std::string&)> headersFor;
  std::string userAgent;

  uint64_t lastId = 0;
  std::vector<std::unique_ptr<Attempt>> idle;  // handles between transfers
  std::map<uint64_t, std::unique_ptr<Attempt>> running;
  std::vector<TransferDone> refused;  // done before any request, told at the next Wait
  std::map<uint64_t, Partial> partials;
  uint64_t lastPartial = 0;
  // Origins whose answers came over HTTP/2: their transfers share connections
  // as streams.
  std::set<std::string> multiplexed;
  int runningAlone = 0;                  // transfers running to origins not multiplexed
  std::map<std::string, int> runningTo;  // transfers running, by origin (none: absent)
  bool roomGrew = false;                 // an origin was found to multiplex: Wait returns
  // By origin (none: absent): transfers whose latest request went there (a
  // redirect moves one), and those setting up a connection for their first
  // request.
  std::map<std::string, int> carriedTo;
  std::map<std::string, int> connectingTo;
  // Transfers held back from opening one more connection to their origin,
  // oldest first, and origins whose connection just took one more stream.
  std::deque<Attempt*> held;
  std::vector<std::string> readied;
  // Origins a password was sent to without encryption, in the order found.
  std::vector<std::string> clearOrigins;

  FetchInfo info;  // of the last Fetch or Transfer
  std::string lastError;

  ~Impl();
  // A handle for a new transfer: one kept from an earlier one, or a new one.
  std::unique_ptr<Attempt> Handle();
  // Sets the transfer up and adds it to the multi handle. Returns why it
  // cannot be, before anything is asked of any server; empty when it runs.
  std::string Begin(Attempt& t, const std::string& url, const std::string& path);
  // What became of a transfer libcurl has finished with `rc`.
  TransferDone Complete(std::unique_ptr<Attempt> t, CURLcode rc);

  // Reads the extra certificates and checks the netrc file (Notices).
  void Trust(const DownloadTrust& trust);
  // Sets what libcurl is asked for from `url`, a file:// source opened once
  // checked; `*tls` tells https and ftps. Returns why it cannot be fetched.
  std::string Source(Attempt& t, const std::string& url, bool* tls);
  // Takes over the partial file `t.request.resume` names when it is of `url`
  // and `path`; drops it otherwise.
  void TakePartial(Attempt& t, const std::string& url, const std::string& path);
  // Keeps what a failed transfer brought for the next attempt, when it may
  // continue it: the partial's number; else abandons the file: 0.
  uint64_t KeepPartial(Attempt& t, bool notModified, bool restart);

  // The most transfers at once (see DownloadSession::MostTransfers).
  int MostTransfers() const;
  // Counts a transfer as it starts, among those to its origin, and among
  // those alone when its origin is not known to multiplex; and no more as it
  // ends.
  void TakeRoom(Attempt& t);
  void FreeRoom(const Attempt& t);
  // Takes the transfer `id` out of those running, its room freed.
  std::unique_ptr<Attempt> TakeOut(uint64_t id);
  // Notes that `origin` answered over HTTP/2; true when it was not known to.
  bool Multiplexes(const std::string& origin);
  // Counts `t` among those whose request went out to `to`, on `connection`
  // (see Attempt::rides).
  void Carried(Attempt& t, const std::string& to, std::string connection);
  // Whether `t` may open a connection to its origin (and counts it when so).
  // Not to a host known to speak HTTP/2 while another connection to it is
  // being set up, or while its connections carry `parallel` streams already:
  // so a server that allows fewer streams on a connection than Parallel gets
  // only the connections Parallel's streams need.
  bool MayConnect(Attempt& t);
  // A transfer refused a connection is taken out of libcurl (Hold) and put
  // back (PutBack) as a transfer to its origin ends, has its request go out
  // on a connection or is redirected away, all of them when none is left.
  void Hold(Attempt& t);
  void PutBack(const std::string& origin, bool all);
  void PutBackReadied();

 private:
  void Configure(Attempt& t);
  void UseNetrc(const std::string& path);
  std::string OpenLocal(Attempt& t, const std::string& path);
  void SetOptions(Attempt& t, bool tls);
  void NoteOutOfTime(Attempt& t, CURLcode rc);
  TransferDone Succeeded(Attempt& t);
  TransferDone Failed(Attempt& t, CURLcode rc, bool notModified, std::string reason);
};

}  // namespace fw
