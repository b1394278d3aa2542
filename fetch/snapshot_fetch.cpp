#include "fetch/snapshot_fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "fetch/disk_writer.h"
#include "fetch/file_clone.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/temp_file.h"

namespace fw {
namespace {

int64_t Now() {
  return static_cast<int64_t>(std::time(nullptr));
}

// Sets `record` on the file open as `fd` in `folder`. "Not supported" for one
// file is only taken for the whole file system when a probe in the folder
// says so too; otherwise it is that file's failure, said with its call.
RecordOutcome SetRecord(int fd, const SnapshotRecord& record, const std::string& folder) {
  RecordOutcome outcome = WriteRecord(fd, record);
  if (outcome.unsupported && SupportsRecords(folder)) {
    outcome.unsupported = false;
    outcome.why = std::string("fsetxattr: ") + std::strerror(EOPNOTSUPP);
  }
  return outcome;
}

// The last step of every fetch: the file's record, set before it is put in
// place. What became of it goes to `outcome`.
std::function<void(int, const FetchInfo&, const ContentDigest&)> RecordOf(
    const SnapshotEntry& entry, std::shared_ptr<Written> outcome) {
  return [url = entry.recordUrl, name = NameOf(entry.destination),
          folder = FolderOf(entry.destination),
          outcome](int fd, const FetchInfo& info, const ContentDigest& digest) {
    SnapshotRecord record;
    record.name = name;
    record.size = digest.size;
    record.hash = digest.hash;
    record.fetched = Now();
    record.etag = info.etag;
    record.lastModified = info.lastModified;
    record.url = url;
    outcome->record = SetRecord(fd, record, folder);
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
    : session_(session), options_(options) {}

SnapshotFetcher::~SnapshotFetcher() = default;

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

// A note when a record could not be set: once per folder and run when its
// file system keeps no attributes at all, else of the one file refused.
void SnapshotFetcher::Tell(const std::string& destination, const RecordOutcome& outcome,
                           std::vector<std::string>& notes) {
  if (outcome.kept) return;
  const std::string folder = FolderOf(destination);
  if (outcome.unsupported) {
    const bool needed = options_.skipUnchanged || options_.keepCopies > 0;
    if (!needed || !foldersTold_.insert(folder).second) return;
    notes.push_back("the file system of " + folder +
                    " keeps no extended attributes: SkipUnchanged and KeepCopies do nothing "
                    "there");
    return;
  }
  notes.push_back("no record could be set on " + destination + " (" + outcome.why +
                  "): SkipUnchanged and KeepCopies do not see it");
}

std::unique_ptr<SnapshotFetcher::Job> SnapshotFetcher::Prepare(const SnapshotEntry& entry) {
  auto job = std::make_unique<Job>();
  job->entry = entry;
  const std::string folder = FolderOf(entry.destination);
  const bool records = options_.skipUnchanged && RecordsKept(folder, job->result);
  job->basis = records ? bases_.BasisOf(entry) : nullptr;
  job->written = std::make_shared<Written>();
  if (job->basis) {
    job->request.ifNoneMatch = job->basis->snapshot.record.etag;
    job->request.ifModifiedSince = job->basis->snapshot.record.lastModified;
  }
  job->request.beforeCommit = RecordOf(entry, job->written);
  return job;
}

SnapshotFetcher::Step SnapshotFetcher::Answered(Job& job, const TransferDone& done) {
  ++job.result.attempts;
  // An attempt that got no HTTP answer leaves the last one that came.
  if (done.info.status != 0) job.result.httpStatus = done.info.status;
  job.request.resume = done.partial;
  if (done.ticket != 0) {
    job.ticket = done.ticket;
    return Step::kSettle;
  }
  job.result.reason = done.error;
  if (done.info.notModified && job.basis) {
    const bool conditional =
        !job.request.ifNoneMatch.empty() || !job.request.ifModifiedSince.empty();
    if (conditional && AnswersConditions(job.request, done.info)) {
      job.result.reason.clear();
      job.result.ok = MakeFromBasis(*job.basis, job.entry, job.result);
      job.result.fresh = job.result.ok;
      if (job.result.ok || !job.result.reason.empty()) return Step::kDone;
    }
    // Not an answer about the copy there is, or that copy changed while it
    // was copied: the file is fetched whole (no retry counted).
    job.request.ifNoneMatch.clear();
    job.request.ifModifiedSince.clear();
    job.basis.reset();
    return Step::kAgain;
  }
  return Step::kFailed;
}

void SnapshotFetcher::Finish(Job& job) {
  if (job.ticket == 0) return;
  job.result.ok = session_.Settle(job.ticket, &job.result.reason);
  job.ticket = 0;
  if (job.result.ok) {
    job.result.reason.clear();
    job.result.bytes = job.written->size;
    Tell(job.entry.destination, job.written->record, job.result.notes);
  }
}

void SnapshotFetcher::GiveUp(Job& job) {
  if (job.request.resume != 0) session_.Drop(job.request.resume);
  job.request.resume = 0;
}

// Makes the entry's destination a copy of the unchanged basis, with a fresh
// record, put in place as a download is. False with no reason when the basis
// changed since it was checked (the caller then fetches the file whole).
bool SnapshotFetcher::MakeFromBasis(SnapshotBasis& basis, const SnapshotEntry& entry,
                                    SnapshotResult& result) {
  std::optional<TempFile> copy;
  try {
    copy.emplace(entry.destination);
    CopyFileContents(basis.fd, copy->fd(), entry.destination, session_.Limits().deadline);
    // Any write to the basis since its content was checked changes its ctime.
    struct stat after {};
    if (fstat(basis.fd, &after) != 0 || after.st_size != basis.checked.st_size ||
        after.st_ctim.tv_sec != basis.checked.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != basis.checked.st_ctim.tv_nsec) {
      return false;
    }
    // A large copy on a slow disk may end past the run's deadline: it is then
    // given up like a download that has not been put in place.
    if (std::chrono::steady_clock::now() >= session_.Limits().deadline) {
      result.reason = DiskWriter::kOutOfTime;
      return false;
    }
    const SnapshotRecord& old = basis.snapshot.record;
    SnapshotRecord record = old;
    record.name = NameOf(entry.destination);
    record.fetched = Now();
    record.url = entry.recordUrl;
    record.urlSha256.clear();
    const RecordOutcome outcome = SetRecord(copy->fd(), record, FolderOf(entry.destination));
    // Over an existing file only once the copy is on the disk, as a download.
    copy->Commit(TempFile::Durability::kBeforeReplacing);
    result.bytes = after.st_size;
    Tell(entry.destination, outcome, result.notes);
    return true;
  } catch (const Error& e) {
    result.reason = "not modified, but " + e.Description();
    if (copy) {
      if (const std::string left = copy->Discard(); !left.empty()) result.reason += "; " + left;
    }
    return false;
  }
}

}  // namespace fw
