// One entry of a download run as a dated snapshot: fetched with retries, its
// record set, made from the last snapshot when the server says it is unchanged,
// and the older snapshots beyond the newest N removed.
//
// For each entry SnapshotFetcher::Fetch:
//  - with skipUnchanged, asks the server with the validators (ETag,
//    Last-Modified) of the newest earlier snapshot of the URL in the
//    destination's folder; on 304 the destination is made from that snapshot on
//    the disk (a clone, or an in-kernel copy; never a link) and put in place
//    atomically like a download;
//  - fetches with retries (retry.h);
//  - gives every file it puts in place a record (snapshot_record.h): the URL
//    without user or password, the time of the fetch, and the server's
//    validators;
//  - with keepCopies N >= 1, removes the URL's snapshots beyond the newest N
//    (today's counted) after the file is in place.
// On a file system without user extended attributes the records cannot be
// kept: with skipUnchanged or keepCopies on, one line says so (once per folder)
// and the fetch goes on without them. Nothing here raises: every failure is in
// the result.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/download.h"
#include "platform/snapshot_record.h"

namespace fw {

struct SnapshotOptions {
  int retries = 2;             // extra attempts after a transient failure
  bool skipUnchanged = false;  // conditional requests from the last snapshot
  int keepCopies = 0;          // snapshots kept per URL; 0 keeps all
};

struct SnapshotResult {
  bool ok = false;     // the destination holds the new snapshot
  bool fresh = false;  // it was made from the last snapshot after a 304
  std::string reason;  // why not, when !ok
  // Lines to tell the user about this entry (a removal that failed, a folder
  // whose file system keeps no records).
  std::vector<std::string> notes;
  bool removalFailed = false;  // a snapshot beyond the newest N could not be removed
};

class SnapshotFetcher {
 public:
  SnapshotFetcher(DownloadSession& session, SnapshotOptions options);

  // `onRetry(retry, of)` is told before each retry; `sleep` waits between
  // attempts (a real sleep in the program, a recorder in tests).
  void OnRetry(std::function<void(int retry, int of)> onRetry);
  void Sleep(std::function<void(std::chrono::seconds)> sleep);

  // Fetches `url` into `destination` as a snapshot of `recordUrl` (the URL
  // without its user information).
  SnapshotResult Fetch(const std::string& url, const std::string& recordUrl,
                       const std::string& destination);

  // A fetch whose file may still be on its way to the disk.
  struct Started {
    SnapshotResult result;  // final unless `ticket` is not 0
    uint64_t ticket = 0;    // the session's, while the file is being put in place
  };
  // As Fetch, but returns once the body has arrived, while the session's
  // writer puts the file in place: the next entry's request can go out
  // meanwhile. With skipUnchanged or keepCopies, which need earlier snapshots
  // in place, it is Fetch itself.
  Started Start(const std::string& url, const std::string& recordUrl,
                const std::string& destination);
  // The result of a Start, once its file is in place (or failed).
  SnapshotResult Finish(Started& started);

 private:
  bool RecordsKept(const std::string& folder, SnapshotResult& result);
  bool MakeFromSnapshot(const std::string& snapshot, const SnapshotRecord& old,
                        const std::string& recordUrl, const std::string& destination,
                        SnapshotResult& result);

  DownloadSession& session_;
  SnapshotOptions options_;
  std::function<void(int, int)> onRetry_;
  std::function<void(std::chrono::seconds)> sleep_;
  std::set<std::string> foldersWithoutRecords_;
};

}  // namespace fw
