// Fetching URLs into files, on libcurl.
//
// A DownloadSession serves a whole run on one libcurl multi handle, keeping
// connections alive between transfers. It runs up to `parallel` transfers at
// once with as many connections to a host; a host that answered over HTTP/2
// takes kStreamsPerParallel times as many, as streams of one connection, never
// more than kStreamsPerHost (MostTransfers, HasRoomFor). Protocols: http, https, ftp, ftps, file.
// At most 10 redirects, only to http or https, never from https back to http. Certificates and host
// names are always verified; proxies come from the environment; a login (URL or netrc) goes by
// Basic or Digest as the server asks, FTP logs in over TLS when offered.
//
// Only a whole answer is a success: over HTTP a final 2xx other than 206 whose
// body is as long as its Content-Length says; over FTP libcurl's verdict; a
// file:// source must be a regular file, read to its end. A transfer broken
// midway may leave a partial file that the next attempt continues with a range
// request, when the server's validators and bytes show it is the same resource
// (TransferDone::partial, FetchRequest::resume).
//
// The body goes to a hidden temporary file beside the destination, written on
// the session's writer thread (fetch/disk_writer.h), and is put in place only
// once whole. After a failure (or SIGINT, SIGTERM: fw::InstallInterruptCleanup)
// no temporary file remains and an existing file of that name is as it was.
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
  // A fetch fails when this long passes, once its request is out, without a
  // byte (of a header or the body) arriving; no speed is averaged.
  long stallTimeout = 60;
  // When the run must end: a fetch under way then is stopped in whatever phase
  // it is, one begun later fails at once; either with "the run's time limit
  // was reached", not transient, outOfTime set. The default is none.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Whom a session trusts, with what it logs in, and how it names itself.
struct DownloadTrust {
  // A PEM bundle trusted on top of the system's certificates; empty for none.
  // When it cannot be read, every https and ftps fetch fails, naming it.
  std::string caFile;
  // A netrc file giving logins for hosts whose URL carries none; empty for
  // none. Opened once, at the start, never blocking. Not used, with a line in
  // Notices() saying why, when it is not a regular file, others may read it,
  // it is over 1 MiB or cannot be opened; a missing file is silent.
  std::string netrcFile;
  // The headers ("Name: value") a request to `url` carries besides the
  // session's own; none when unset. Asked before each request of a fetch
  // (those after a redirect, or for a login, too) as long as every request of
  // the fetch went to the origin (scheme, host and port) of the URL it was
  // given: once a redirect leads elsewhere, none for the rest of the fetch,
  // even back there. A header holding a control byte other than a tab (a line
  // break) is not sent.
  std::function<std::vector<std::string>(const std::string& url)> headers;
  // The User-Agent header; empty, or holding a control byte, for
  // kDefaultUserAgent.
  std::string userAgent;
};

// "fetchwell/<version>".
extern const char kDefaultUserAgent[];

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
  // The bytes a continued transfer asked for again differed from those held:
  // the resource changed on the server (transient; the next attempt fetches
  // it whole).
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
  // Transfers at once, over HTTP/2, for each one `parallel` allows.
  static constexpr int kStreamsPerParallel = 16;
  // The most transfers to one HTTP/2 host at once: the streams one
  // connection carries (libcurl's own limit, and that of most servers), so
  // that its transfers never open a second one.
  static constexpr int kStreamsPerHost = 100;

  // `parallel`: transfers at once, and connections to one host (1 to
  // kMostParallel, fewer when the process may open too few descriptors).
  explicit DownloadSession(DownloadLimits limits = {}, DownloadTrust trust = {}, int parallel = 1);
  ~DownloadSession();
  DownloadSession(const DownloadSession&) = delete;
  DownloadSession& operator=(const DownloadSession&) = delete;

  // Fetches `url` into the file `path` and waits until it is in place. True on
  // success; false with LastError() set otherwise. Never raises, prints nothing.
  bool Fetch(const std::string& url, const std::string& path, const FetchRequest& request = {});
  // As Fetch, but returns once the body has arrived whole (see Settle).
  TransferDone Transfer(const std::string& url, const std::string& path,
                        const FetchRequest& request = {});

  // Begins fetching `url` into `path`; returns the transfer's id. Never raises:
  // a fetch refused before any request (a malformed URL, a missing folder, the
  // deadline passed) is told at the next Wait.
  // REQUIRES: Running() < MostTransfers() (each transfer holds a writer buffer).
  uint64_t Start(const std::string& url, const std::string& path, const FetchRequest& request = {});
  // Runs the transfers until one is done, `until` passes, or a host is found to
  // speak HTTP/2 (HasRoomFor then allows more); returns those done. Files are
  // put in place in the order their bodies arrived whole; memory stays
  // bounded, as a transfer waits while the disk is behind.
  std::vector<TransferDone> Wait(std::chrono::steady_clock::time_point until);
  // Transfers started and not yet told by Wait.
  int Running() const;
  // The most transfers at once: `parallel`, or kStreamsPerParallel times
  // that when it is over 1, for hosts that answered over HTTP/2.
  int MostTransfers() const;
  // Whether a transfer to `origin` (see Origin) may start now: fewer than
  // MostTransfers() run, and either `origin` answered over HTTP/2 and fewer
  // than kStreamsPerHost run to it, or fewer than `parallel` run to hosts
  // not known to. An https transfer to a host whose first connection is
  // being set up waits for it (as a stream once it settles on HTTP/2, on a
  // connection of its own at once when on HTTP/1.1).
  bool HasRoomFor(const std::string& origin) const;
  // The origin of `url`, "scheme://host:port" in lower case; empty for a URL
  // libcurl cannot read.
  static std::string Origin(const std::string& url);
  // Discards a partial file no attempt will continue.
  void Drop(uint64_t partial);

  // Waits until the file of `ticket` is in place: true; or false with the
  // reason in `reason` (an existing file of its name is then as it was).
  bool Settle(uint64_t ticket, std::string* reason);
  // Whether Settle(ticket) would return at once.
  bool Settled(uint64_t ticket) const;

  // What the last Fetch's or Transfer's final answer said (also after a failure).
  const FetchInfo& LastFetch() const;
  // The limits the session was made with (longer time limits cut to a day).
  const DownloadLimits& Limits() const;
  // Lines for the user about the session's setup (a netrc file not used, and
  // why), each to be said once.
  const std::vector<std::string>& Notices() const;
  // At most one line for the user once the run is over: that a password went
  // over the network unencrypted (Basic over http, FTP without AUTH TLS), and
  // where to (never the password).
  std::vector<std::string> RunNotes() const;
  // Why the last Fetch or Transfer failed, short and without the URL ("HTTP
  // 404", "connection refused", "too many open files"...); empty after a
  // success. Passwords, and any quoted URL's user information, read "***".
  const std::string& LastError() const;

  // Called during each transfer, with its id, as data arrives (and about once
  // a second while none does). An exception it throws fails the transfer.
  void OnProgress(std::function<void(uint64_t id, const DownloadProgress&)> callback);

  struct Impl;  // the session's state, shared with its transfers

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace fw
