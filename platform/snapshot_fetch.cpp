#include "platform/snapshot_fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <thread>

#include "platform/error.h"
#include "platform/file_clone.h"
#include "platform/files.h"
#include "platform/retention.h"
#include "platform/retry.h"

namespace fw {

SnapshotFetcher::SnapshotFetcher(DownloadSession& session, SnapshotOptions options)
    : session_(session),
      options_(options),
      sleep_([](std::chrono::seconds wait) { std::this_thread::sleep_for(wait); }) {}

void SnapshotFetcher::OnRetry(std::function<void(int, int)> onRetry) {
  onRetry_ = std::move(onRetry);
}

void SnapshotFetcher::Sleep(std::function<void(std::chrono::seconds)> sleep) {
  sleep_ = std::move(sleep);
}

// Whether the records the options need can be kept in `folder`; says once per
// folder when they cannot.
bool SnapshotFetcher::RecordsKept(const std::string& folder, SnapshotResult& result) {
  if (foldersWithoutRecords_.count(folder)) return false;
  if (SupportsRecords(folder)) return true;
  foldersWithoutRecords_.insert(folder);
  result.notes.push_back("the file system of " + folder +
                         " keeps no extended attributes: SkipUnchanged and KeepCopies "
                         "do nothing there");
  return false;
}

namespace {

// The last step of every fetch: the file's record, set before it is put in
// place.
std::function<void(int, const FetchInfo&)> RecordOf(const std::string& recordUrl,
                                                    const std::string& destination) {
  return [recordUrl, destination](int fd, const FetchInfo& info) {
    const SnapshotRecord record{recordUrl, static_cast<int64_t>(std::time(nullptr)), info.etag,
                                info.lastModified};
    // Without support the file still goes in place, only unrecorded. A
    // validator the file system cannot hold, or that could not be sent back
    // as it is, is left out rather than the snapshot.
    try {
      WriteRecord(fd, record, destination);
    } catch (const Error&) {
      WriteRecord(fd, SnapshotRecord{record.url, record.fetched, {}, {}}, destination);
    }
  };
}

}  // namespace

SnapshotFetcher::Started SnapshotFetcher::Start(const std::string& url,
                                                const std::string& recordUrl,
                                                const std::string& destination) {
  Started started;
  if (options_.skipUnchanged || options_.keepCopies > 0) {
    started.result = Fetch(url, recordUrl, destination);
    return started;
  }
  FetchRequest request;
  request.beforeCommit = RecordOf(recordUrl, destination);
  WithRetries(
      session_, options_.retries,
      [&] { return (started.ticket = session_.FetchInBackground(url, destination, request)) != 0; },
      onRetry_, sleep_);
  if (started.ticket == 0) started.result.reason = session_.LastError();
  return started;
}

SnapshotResult SnapshotFetcher::Finish(Started& started) {
  if (started.ticket != 0) {
    started.result.ok = session_.Settle(started.ticket, &started.result.reason);
    started.ticket = 0;
  }
  return started.result;
}

SnapshotResult SnapshotFetcher::Fetch(const std::string& url, const std::string& recordUrl,
                                      const std::string& destination) {
  SnapshotResult result;
  const std::string folder = FolderOf(destination);
  const bool wantRecords = options_.skipUnchanged || options_.keepCopies > 0;
  const bool records = wantRecords && RecordsKept(folder, result);

  // The newest earlier snapshot, whose validators make the request conditional.
  std::optional<std::string> last;
  std::optional<SnapshotRecord> lastRecord;
  FetchRequest request;
  if (records && options_.skipUnchanged) {
    try {
      last = NewestSnapshot(folder, recordUrl);
    } catch (const Error&) {
      // An unreadable folder: the fetch itself will say what is wrong.
    }
    if (last) lastRecord = ReadRecord(*last);
    if (lastRecord) {
      request.ifNoneMatch = lastRecord->etag;
      request.ifModifiedSince = lastRecord->lastModified;
    }
  }
  request.beforeCommit = RecordOf(recordUrl, destination);

  const bool fetched = WithRetries(
      session_, options_.retries, [&] { return session_.Fetch(url, destination, request); },
      onRetry_, sleep_);
  if (fetched) {
    result.ok = true;
  } else if (session_.LastFetch().notModified && last && lastRecord) {
    result.ok = MakeFromSnapshot(*last, *lastRecord, recordUrl, destination, result);
    result.fresh = result.ok;
  } else {
    result.reason = session_.LastError();
  }

  if (result.ok && records && options_.keepCopies > 0) {
    std::vector<std::string> failures;
    try {
      KeepNewest(folder, recordUrl, options_.keepCopies, &failures);
    } catch (const Error& e) {
      failures.push_back(e.Description());
    }
    for (const std::string& failure : failures) result.notes.push_back(failure);
    result.removalFailed = !failures.empty();
  }
  return result;
}

// Makes `destination` a copy of the unchanged `snapshot`, with a fresh record,
// put in place as a download is.
bool SnapshotFetcher::MakeFromSnapshot(const std::string& snapshot, const SnapshotRecord& old,
                                       const std::string& recordUrl, const std::string& destination,
                                       SnapshotResult& result) {
  try {
    const int from = open(snapshot.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (from < 0) {
      result.reason = "not modified, but the last snapshot " + snapshot + " cannot be read";
      return false;
    }
    struct Closer {
      int fd;
      ~Closer() { close(fd); }
    } closer{from};
    TempFile copy(destination);
    CopyFileContents(from, copy.fd(), destination);
    // The 304's validators, where it sent them, else the old ones still hold.
    const FetchInfo& info = session_.LastFetch();
    const SnapshotRecord record{recordUrl, static_cast<int64_t>(std::time(nullptr)),
                                info.etag.empty() ? old.etag : info.etag,
                                info.lastModified.empty() ? old.lastModified : info.lastModified};
    WriteRecord(copy.fd(), record, destination);
    copy.Commit(TempFile::Durability::kDataOrdered);
    return true;
  } catch (const Error& e) {
    result.reason = "not modified, but " + e.Description();
    return false;
  }
}

}  // namespace fw
