#include "fetch/snapshot_fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <thread>

#include "fetch/file_clone.h"
#include "fetch/retry.h"
#include "platform/error.h"
#include "platform/files.h"

namespace fw {
namespace {

int64_t Now() {
  return static_cast<int64_t>(std::time(nullptr));
}

// The last step of every fetch: the file's record, set before it is put in
// place. What became of it goes to `outcome`.
std::function<void(int, const FetchInfo&, const ContentDigest&)> RecordOf(
    const SnapshotEntry& entry, std::shared_ptr<Written> outcome) {
  return [url = entry.recordUrl, name = NameOf(entry.destination), outcome](
             int fd, const FetchInfo& info, const ContentDigest& digest) {
    SnapshotRecord record;
    record.name = name;
    record.size = digest.size;
    record.hash = digest.hash;
    record.fetched = Now();
    record.etag = info.etag;
    record.lastModified = info.lastModified;
    record.url = url;
    outcome->record = WriteRecord(fd, record);
    outcome->size = digest.size;
  };
}

// An ETag without its weakness mark: a condition matches weakly.
std::string Opaque(const std::string& etag) {
  return etag.starts_with("W/") ? etag.substr(2) : etag;
}

// Whether a 304 answers the very validators sent: one that names another ETag
// (or another Last-Modified, when that was the condition) says nothing about
// the copy asked about.
bool AnswersConditions(const FetchRequest& sent, const FetchInfo& answer) {
  if (!sent.ifNoneMatch.empty()) {
    return answer.etag.empty() || Opaque(answer.etag) == Opaque(sent.ifNoneMatch);
  }
  return answer.lastModified.empty() || answer.lastModified == sent.ifModifiedSince;
}

}  // namespace

SnapshotFetcher::SnapshotFetcher(DownloadSession& session, SnapshotOptions options)
    : session_(session),
      options_(options),
      sleep_([](std::chrono::seconds wait) { std::this_thread::sleep_for(wait); }) {}

SnapshotFetcher::~SnapshotFetcher() = default;

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
  foldersTold_.insert(folder);
  result.notes.push_back("the file system of " + folder +
                         " keeps no extended attributes: SkipUnchanged and KeepCopies "
                         "do nothing there");
  return false;
}

// One note per folder and run when a record could not be set.
void SnapshotFetcher::Tell(const std::string& folder, const RecordOutcome& outcome,
                           std::vector<std::string>& notes) {
  if (outcome.kept) return;
  const bool needed = options_.skipUnchanged || options_.keepCopies > 0;
  if (outcome.unsupported && !needed) return;
  if (!foldersTold_.insert(folder).second) return;
  notes.push_back("records are not kept in " + folder + " (" + outcome.why +
                  "): SkipUnchanged and KeepCopies do not see its new files");
}

bool SnapshotFetcher::Attempts(const SnapshotEntry& entry, const FetchRequest& request,
                               SnapshotResult& result) {
  const bool fetched = WithRetries(
      session_, options_.retries,
      [&] {
        ++result.attempts;
        return session_.Fetch(entry.url, entry.destination, request);
      },
      onRetry_, sleep_);
  result.httpStatus = session_.LastFetch().status;
  return fetched;
}

SnapshotFetcher::Started SnapshotFetcher::Start(const SnapshotEntry& entry) {
  Started started;
  if (options_.skipUnchanged) {
    started.result = Fetch(entry);
    return started;
  }
  started.folder = FolderOf(entry.destination);
  started.written = std::make_shared<Written>();
  FetchRequest request;
  request.beforeCommit = RecordOf(entry, started.written);
  WithRetries(
      session_, options_.retries,
      [&] {
        ++started.result.attempts;
        started.ticket = session_.FetchInBackground(entry.url, entry.destination, request);
        return started.ticket != 0;
      },
      onRetry_, sleep_);
  started.result.httpStatus = session_.LastFetch().status;
  if (started.ticket == 0) started.result.reason = session_.LastError();
  return started;
}

SnapshotResult SnapshotFetcher::Finish(Started& started) {
  if (started.ticket != 0) {
    started.result.ok = session_.Settle(started.ticket, &started.result.reason);
    started.ticket = 0;
    if (started.result.ok) {
      started.result.bytes = started.written->size;
      Tell(started.folder, started.written->record, started.result.notes);
    }
  }
  return started.result;
}

// The basis of the entry's URL (snapshot_folder.h), each folder listed once a
// run.
std::unique_ptr<SnapshotBasis> SnapshotFetcher::FindBasis(const SnapshotEntry& entry) {
  const std::string folderPath = FolderOf(entry.destination);
  auto& folder = folders_[folderPath];
  try {
    if (!folder) folder = std::make_unique<SnapshotFolder>(folderPath);
  } catch (const Error&) {
    folders_.erase(folderPath);
    return nullptr;  // an unreadable folder: the fetch itself will say what is wrong
  }
  folder->Add(NameOf(entry.destination));  // an earlier run of today's
  return fw::FindBasis(*folder, entry.recordUrl, entry.shape, Now());
}

SnapshotResult SnapshotFetcher::Fetch(const SnapshotEntry& entry) {
  SnapshotResult result;
  const std::string folder = FolderOf(entry.destination);
  const bool records = options_.skipUnchanged && RecordsKept(folder, result);

  std::unique_ptr<SnapshotBasis> basis = records ? FindBasis(entry) : nullptr;
  auto outcome = std::make_shared<Written>();
  FetchRequest request;
  if (basis) {
    request.ifNoneMatch = basis->snapshot.record.etag;
    request.ifModifiedSince = basis->snapshot.record.lastModified;
  }
  request.beforeCommit = RecordOf(entry, outcome);

  bool fetched = Attempts(entry, request, result);
  if (!fetched && basis && session_.LastFetch().notModified) {
    if (AnswersConditions(request, session_.LastFetch())) {
      result.ok = MakeFromBasis(*basis, entry, result);
      result.fresh = result.ok;
      if (result.ok || !result.reason.empty()) return result;
    }
    // Not an answer about the copy there is, or that copy changed while it
    // was copied: the file is fetched whole.
    FetchRequest whole;
    whole.beforeCommit = request.beforeCommit;
    fetched = Attempts(entry, whole, result);
  }
  if (fetched) {
    result.ok = true;
    result.bytes = outcome->size;
    Tell(folder, outcome->record, result.notes);
  } else {
    result.reason = session_.LastError();
  }
  return result;
}

// Makes the entry's destination a copy of the unchanged basis, with a fresh
// record, put in place as a download is. False with no reason when the basis
// changed since it was checked (the caller then fetches the file whole).
bool SnapshotFetcher::MakeFromBasis(SnapshotBasis& basis, const SnapshotEntry& entry,
                                    SnapshotResult& result) {
  try {
    TempFile copy(entry.destination);
    CopyFileContents(basis.fd, copy.fd(), entry.destination);
    // Any write to the basis since its content was checked changes its ctime.
    struct stat after {};
    if (fstat(basis.fd, &after) != 0 || after.st_size != basis.checked.st_size ||
        after.st_ctim.tv_sec != basis.checked.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != basis.checked.st_ctim.tv_nsec) {
      return false;
    }
    const SnapshotRecord& old = basis.snapshot.record;
    SnapshotRecord record = old;
    record.name = NameOf(entry.destination);
    record.fetched = Now();
    record.url = entry.recordUrl;
    record.urlSha256.clear();
    const RecordOutcome outcome = WriteRecord(copy.fd(), record);
    copy.Commit(TempFile::Durability::kDataOrdered);
    result.bytes = after.st_size;
    Tell(FolderOf(entry.destination), outcome, result.notes);
    return true;
  } catch (const Error& e) {
    result.reason = "not modified, but " + e.Description();
    return false;
  }
}

}  // namespace fw
