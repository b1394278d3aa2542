// Fetching URLs into files, on libcurl.
//
// A DownloadSession serves a whole download run on one libcurl multi handle:
// up to `parallel` transfers run side by side, at most `parallel` connections
// go to one host, and connections are kept alive and reused between
// transfers. Over HTTP/2 the transfers to one host share a connection as
// streams, which cost the server no more connections: once a host has
// answered over HTTP/2, up to kStreamsPerConnection times `parallel`
// transfers may go to it at once (see HasRoomFor). Protocols: http,
// https, ftp, ftps and file. Redirects are followed, at most 10, and only to
// http or https; once a request of a fetch has gone over https, a redirect to
// plain http fails the fetch with "redirect from https to http refused" before
// anything is sent to that server, so no login travels in clear. TLS
// certificates and host names are always verified. Proxies come from the
// environment (http_proxy, https_proxy, no_proxy...).
//
// Only a whole answer is a success. Over HTTP that is a final status of 2xx
// other than 206 whose body is as long as its Content-Length says (when it says);
// any other final status fails with "HTTP <status>" (a 304 or 206 answered
// unasked included), a 3xx with no Location with "redirect without a Location".
// A transfer broken after part of an HTTP body arrived is kept for the next
// attempt (TransferDone::partial) when that answer had a known length, no
// Content-Encoding, Accept-Ranges: bytes and a strong ETag or a Last-Modified.
// The next attempt asks, with If-Range, from 64 KiB before the end of what
// arrived. Its 206 continues the file only when it is exactly the rest of the
// resource of the length first announced (Content-Range "bytes S-(L-1)/L",
// one part, not encoded, that many bytes) and its first 64 KiB are those held
// (they are not written again); a 200 begins the file anew. Anything else (a
// 416, another part, other bytes: the resource changed on the server) drops
// what had arrived, as a transient failure: the attempt after fetches whole.
// A stream reset over HTTP/2 is transient, like a connection reset.
//
// A login from the URL or the netrc file goes by Basic or Digest, as the
// server asks (the first request goes without it, to learn which). FTP logs
// in over TLS when the server offers AUTH TLS. RunNotes() says when a
// password went over the network unencrypted.
//
// Over FTP libcurl's verdict stands. A file:// source must be a regular file
// (checked before it is opened, so a FIFO or device never blocks or reads for
// ever) and is a success only when all of its bytes were read.
//
// A fetch writes the body to a hidden temporary file in the destination's folder
// (see fw::TempFile) and puts it in place as the destination, its writeback to
// disk started, only when the whole body arrived. The writing happens on a
// thread of the session's own (fetch/disk_writer.h), so that the network
// and the disk work at once. After a failed fetch no temporary or
// partial file remains and an existing file of the destination's name is as it
// was. SIGINT and SIGTERM remove the temporary file too, once
// fw::InstallInterruptCleanup() has been called.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fetch/content_hash.h"

namespace fw {

// Time limits of a fetch, in seconds. 0 or less means libcurl's own limit to
// connect (300 s) and no stall limit; more than 86400 (a day) counts as 86400.
struct DownloadLimits {
  long connectTimeout = 30;  // to connect (TLS handshake included)
  // A fetch fails when, from the moment its request is sent, this long passes
  // without a byte of the body or a header line arriving. No speed is averaged:
  // a server that sends a byte now and then within the limit is waited for.
  long stallTimeout = 60;
  // When the run must end. A fetch under way when it passes is stopped in
  // whatever phase it is (resolving, connecting, waiting, receiving), its
  // temporary file discarded; a fetch begun after it fails at once without
  // connecting. Either fails with "the run's time limit was reached", not
  // transient, and LastFetch().outOfTime set. The default is no deadline.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Whom a session trusts, and with what it logs in.
struct DownloadTrust {
  // A PEM bundle of certificates trusted for every fetch, on top of the
  // system's (never instead of them; verification is never turned off). Empty
  // for none. When it cannot be read, every https and ftps fetch fails with a
  // reason that names it.
  std::string caFile;
  // A netrc file giving logins for hosts whose URL carries none (a user and
  // password in the URL win). Empty for none. It is opened once, when the
  // session starts (links followed, never blocking), and libcurl reads that
  // very file. Not used, with a line in Notices() saying why: a file that is
  // not a regular one (a FIFO, a device...), one that others may read, one
  // larger than 1 MiB, or one that cannot be opened. A missing file is silent.
  std::string netrcFile;
};

// What the last fetch's final answer said.
struct FetchInfo {
  // The status of the transfer's own last HTTP answer; 0 when it had none
  // (other protocols, or no answer).
  long status = 0;
  bool notModified = false;  // a 304 to a conditional request: nothing was written
  // Failed in a way that may pass by itself: no connection, a connection
  // reset or closed early, a stall, HTTP 408, 425, 429, 500, 502, 503, 504.
  bool transient = false;
  std::string etag;          // its ETag, empty when it sent none
  std::string lastModified;  // its Last-Modified, empty when it sent none
  long retryAfter = -1;      // seconds its Retry-After asked for, -1 for none
  bool outOfTime = false;    // stopped, or not begun, because the deadline passed
  // The bytes a continued transfer asked for again differed from those it
  // held: the resource changed on the server while it was fetched. What had
  // arrived is dropped and the next attempt fetches it whole (the failure is
  // transient; its reason "changed on the server while it was fetched").
  bool changed = false;
};

// What a fetch asks beyond its URL.
struct FetchRequest {
  // The validators of an earlier copy, sent as If-None-Match and
  // If-Modified-Since. With either set, a 304 answer is no failure: the fetch
  // writes nothing and LastFetch().notModified is true.
  std::string ifNoneMatch;
  std::string ifModifiedSince;
  // The partial file of an earlier attempt at the same URL and destination
  // (TransferDone::partial), to be continued; 0 for a fresh fetch. It is the
  // session's from then on: continued, or dropped when it cannot be.
  uint64_t resume = 0;
  // Called with the finished temporary file's descriptor, what the answer
  // said and the file's size and content hash, once the whole body is there
  // and before it is put in place (to give it a record, say). An fw::Error it
  // raises fails the fetch, with its description as the reason. It may run on
  // the session's writer thread.
  std::function<void(int fd, const FetchInfo& info, const ContentDigest& digest)> beforeCommit;
};

// How far the current fetch has got.
struct DownloadProgress {
  int64_t bytes = 0;   // body bytes received so far (a resumed transfer's included)
  int64_t total = -1;  // the body's announced size, -1 when unknown
};

// What became of one transfer (DownloadSession::Start).
struct TransferDone {
  uint64_t id = 0;      // Start's
  uint64_t ticket = 0;  // not 0: the body arrived whole, its file is on its way (Settle)
  FetchInfo info;       // what the final answer said
  std::string error;    // why it failed, when ticket is 0 (as LastError())
  // Not 0: what arrived is kept for a later attempt to continue
  // (FetchRequest::resume); Drop() it when none will.
  uint64_t partial = 0;
};

class DownloadSession {
 public:
  static constexpr int kMostParallel = 32;
  static constexpr int kStreamsPerConnection = 16;

  // `parallel`: the most transfers at once, and connections to one host (1 to
  // kMostParallel; fewer when the process may open too few descriptors for
  // that many: Parallel() says how many).
  explicit DownloadSession(DownloadLimits limits = {}, DownloadTrust trust = {}, int parallel = 1);
  ~DownloadSession();
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;

  // Fetches `url` into the file `path`. True on success. A failed fetch (the
  // destination's folder missing or not writable included) returns false and
  // sets LastError(); it never raises and prints nothing.
  bool Fetch(const std::string& url, const std::string& path, const FetchRequest& request = {});

  // As Fetch, but returns as soon as the body has arrived whole, while the
  // writer thread puts the file in place (see TransferDone).
  TransferDone Transfer(const std::string& url, const std::string& path,
                        const FetchRequest& request = {});

  // Transfers side by side. Start begins fetching `url` into `path` and gives
  // the transfer's id; at most `parallel` may be under way (Running()) when it
  // is called. It never raises: a fetch refused before any request (a
  // malformed URL, a missing folder, the deadline passed) is done at the next
  // Wait. Wait runs the transfers under way until at least one is done, or
  // until `until`, or until a host was found to speak HTTP/2 (HasRoomFor then
  // allows more), and gives those done (none when nothing is). Files
  // are written and put in place on the writer thread in the order their
  // bodies arrived whole; memory stays bounded, as a transfer waits while the
  // disk is behind.
  uint64_t Start(const std::string& url, const std::string& path, const FetchRequest& request = {});
  std::vector<TransferDone> Wait(std::chrono::steady_clock::time_point until);
  // Transfers started and not yet told by Wait.
  int Running() const;
  // The most transfers at once: Parallel(), or kStreamsPerConnection times
  // that to hosts that answered over HTTP/2; Parallel() of 1 means 1.
  int MostTransfers() const;
  // Whether a transfer to `origin` (see Origin) may start now: fewer than
  // Parallel() run to hosts that did not answer over HTTP/2, or `origin` did
  // and fewer than MostTransfers() run in all.
  bool HasRoomFor(const std::string& origin) const;
  // The origin of `url`, "scheme://host:port" in lower case; empty for a URL
  // libcurl cannot read.
  static std::string Origin(const std::string& url);
  // Discards a partial file no attempt will continue.
  void Drop(uint64_t partial);

  // Waits until the file of `ticket` is in place: true; or false with the
  // reason in `reason` when its write or commit failed (an existing file of
  // its name is then as it was).
  bool Settle(uint64_t ticket, std::string* reason);
  // Whether Settle(ticket) would return at once.
  bool Settled(uint64_t ticket) const;

  // What the last Fetch's or Transfer's final answer said (also after a failure).
  const FetchInfo& LastFetch() const;

  // The limits the session was made with (longer time limits cut to a day).
  const DownloadLimits& Limits() const;

  // Lines for the user about the session's setup, each to be said once (a
  // netrc file not used, and why). Empty when all is well.
  const std::vector<std::string>& Notices() const;
  // Lines for the user about the transfers so far, to be said once the run
  // is over: at most one, when a password went over the network unencrypted
  // (a Basic login over http, an FTP login where the server did not take
  // AUTH TLS), naming where to (never the password). Empty when none did.
  std::vector<std::string> RunNotes() const;

  // Why the last Fetch or Transfer failed, a short reason without the URL: "HTTP 404",
  // "connection refused", "no data for 60 s", "certificate not trusted (...)",
  // "could not resolve host ...", "not a regular file: a FIFO", "too many
  // open files" (no descriptor left for a socket or a file), "redirect from
  // https to http refused", "the run's time limit was reached". It never shows
  // a password: that of the URL or of a redirect's target, and the user
  // information of any URL it quotes, read "***". Empty after a successful fetch.
  const std::string& LastError() const;

  // Called during each transfer, with its id, as data arrives (and about once
  // a second while none does). An exception thrown by the callback fails the
  // transfer.
  void OnProgress(std::function<void(uint64_t id, const DownloadProgress&)> callback);

  struct Impl;  // the session's state, shared with its transfers

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace fw
