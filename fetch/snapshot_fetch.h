// One entry of a run made a dated snapshot, step by step: its request made,
// each attempt's answer looked at, its file given a record, or made from the
// last snapshot when the server says it is unchanged. SnapshotRun
// (snapshot_run.h) drives the steps, retries included.
//
//  - With skipUnchanged the request carries the validators (ETag,
//    Last-Modified) of the entry's basis (basis_search.h). A 304 that answers
//    those very validators makes the destination a copy of the basis (a clone
//    or an in-kernel copy, never a link), put in place as a download is: over
//    an existing file only once the copy is on the disk, and a failed sync
//    fails the entry, the older file kept. A 304 naming other validators is no
//    "unchanged": the URL is asked once more without conditions (no retry).
//  - Every file put in place gets a record (snapshot_record.h): its name, size
//    and content hash, the URL without user or password, the time of the fetch
//    and the server's validators. A record that cannot be set fails nothing: a
//    note names the file and why, or, on a file system without user extended
//    attributes, one note per folder and run (only when skipUnchanged or
//    keepCopies need records).
// Nothing here raises: every failure is in the result.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fetch/basis_search.h"
#include "fetch/download.h"
#include "fetch/snapshot_folder.h"

namespace fw {

struct SnapshotOptions {
  int retries = 2;             // extra attempts after a transient failure
  bool skipUnchanged = false;  // conditional requests from the last snapshot
  int keepCopies = 0;          // snapshots kept per URL; 0 keeps all
};

// One entry of the run.
struct SnapshotEntry {
  std::string url;          // as listed: what is fetched
  std::string recordUrl;    // without user information: what is recorded
  std::string destination;  // the file to put in place
  NameShape shape;          // the dated shape of the URL's snapshots' names
};

struct SnapshotResult {
  bool ok = false;      // the destination holds the new snapshot
  bool fresh = false;   // it was made from the last snapshot after a 304
  std::string reason;   // why not, when !ok
  long httpStatus = 0;  // the last HTTP answer's status, of any attempt; 0 for none
  int64_t bytes = 0;    // the size of the file put in place
  int attempts = 0;     // requests made, retries and a fetch after a 304 included
  // Lines to tell the user about this entry (a folder where records are not
  // kept, and why).
  std::vector<std::string> notes;
};

// What became of a file on the writer thread: its record, and its size.
struct Written {
  RecordOutcome record;
  int64_t size = 0;
};

class SnapshotFetcher {
 public:
  SnapshotFetcher(DownloadSession& session, SnapshotOptions options);
  ~SnapshotFetcher();

  // One entry's fetch: Prepare, then Answered at each attempt's end, then
  // Finish once it says kSettle, or GiveUp once no retry will be made.
  struct Job {
    SnapshotEntry entry;
    FetchRequest request;  // what the next attempt asks
    std::unique_ptr<SnapshotBasis> basis;
    std::shared_ptr<Written> written;  // set on the writer thread
    SnapshotResult result;
    uint64_t ticket = 0;  // the session's, while the file is on its way to the disk
    int retries = 0;      // retries made so far
  };
  // The job of `entry`, its first request ready (conditional on the basis
  // with skipUnchanged). REQUIRES: earlier entries of its destination are
  // finished.
  std::unique_ptr<Job> Prepare(const SnapshotEntry& entry);
  enum class Step {
    kSettle,  // the body came whole: Finish, once its file is in place
    kDone,    // the result is final (made from the basis, or failed for good)
    kAgain,   // ask again at once, with the request now in the job
    kFailed,  // the attempt failed: a retry, or GiveUp
  };
  // What the attempt that ended as `done` means for the job.
  Step Answered(Job& job, const TransferDone& done);
  // Waits until the job's file is in place (or failed) and completes its result.
  void Finish(Job& job);
  // No more attempts: what an attempt left for the next one is dropped.
  void GiveUp(Job& job);

 private:
  bool RecordsKept(const std::string& folder, SnapshotResult& result);
  bool MakeFromBasis(SnapshotBasis& basis, const SnapshotEntry& entry, SnapshotResult& result);
  void Tell(const std::string& destination, const RecordOutcome& outcome,
            std::vector<std::string>& notes);

  DownloadSession& session_;
  SnapshotOptions options_;
  std::set<std::string> foldersWithoutRecords_;
  std::set<std::string> foldersTold_;
  BasisSearch bases_;
};

}  // namespace fw
