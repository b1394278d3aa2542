// Continuing a file: a transfer broken after part of an HTTP body arrived
// keeps that part (a Partial) when its answer had a known length, no
// Content-Encoding, Accept-Ranges: bytes and a strong ETag or a Last-Modified.
// The next attempt asks, with If-Range, from kOverlap bytes before its end.
// Its 206 continues the file only when it is exactly the rest of the resource
// of the length first announced and its first kOverlap bytes are those held
// (they are not written again); a 200 begins the file anew. Anything else
// drops the part, and the attempt after fetches the file whole.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "fetch/download_internal.h"
#include "fetch/http_header.h"

namespace fw {

void DownloadSession::Impl::TakePartial(Attempt& t, const std::string& url,
                                        const std::string& path) {
  if (t.request.resume == 0) return;
  const auto found = partials.find(t.request.resume);
  if (found == partials.end()) return;
  Partial partial = std::move(found->second);
  partials.erase(found);
  if (partial.url != url || partial.path != path || t.local) {
    writer->Abandon(partial.ticket);
    return;
  }
  t.ticket = partial.ticket;
  t.offset = partial.size;
  t.resumeValidator = partial.validator;
  t.total = partial.total;
  t.tail = std::move(partial.tail);
  t.overlap = static_cast<int64_t>(t.tail.size());
}

void Attempt::AskRest() {
  if (offset > 0) {
    // From the overlap on: those bytes must come back as they are held.
    headers = curl_slist_append(headers, ("If-Range: " + resumeValidator).c_str());
    curl_easy_setopt(curl, CURLOPT_RANGE, (std::to_string(offset - overlap) + "-").c_str());
  } else {
    curl_easy_setopt(curl, CURLOPT_RANGE, nullptr);
  }
}

// A 206 to a continued transfer.
void Attempt::CheckPart() {
  refusal = PartRefusal();
  if (!refusal.empty()) refusedStatus = status;
  keepTail = refusal.empty() && !ResumeValidator().empty();
}

// Why the 206 answer of a continued transfer cannot continue its file; empty
// when it can: one part, not encoded, exactly the range asked for (from the
// overlap on to the end of the resource of the length first announced), its
// Content-Length, when given, that range's length.
std::string Attempt::PartRefusal() const {
  if (multipart) return "the server sent several parts where one was asked for";
  if (encoded) return "the server sent the rest of the file encoded";
  // The part must be of the version begun: a server that ignores If-Range may
  // send the rest of another one, which the repeated bytes may not show.
  if (info.etag != resumeValidator && info.lastModified != resumeValidator) {
    return "the server sent part of another version of the file";
  }
  const int64_t start = offset - overlap;
  const std::optional<ByteRange> range = ParseContentRange(contentRange);
  if (!range || range->first != start || range->last != total - 1 || range->length != total ||
      (announced >= 0 && announced != total - start)) {
    return "the server sent another part than the one asked for";
  }
  return {};
}

// A whole 2xx answer. It is no part of the file, whatever its status says;
// and one that keeps the validator of the file begun keeps its length too.
// To a continued transfer it is the resource's new version, from the start.
void Attempt::CheckWhole() {
  const std::optional<ByteRange> range = ParseContentRange(contentRange);
  const bool sameVersion = offset > 0 && !info.etag.empty() && info.etag == resumeValidator;
  if ((range && (range->first != 0 || range->last + 1 != range->length)) ||
      (sameVersion && announced >= 0 && announced != total)) {
    refusal = "the server sent a part where the whole file was asked for";
    refusedStatus = status;
    return;
  }
  if (offset > 0) {
    session->writer->Rewind(ticket);
    offset = overlap = 0;
    tail.clear();
  }
  total = announced;
  keepTail = total > 0 && !encoded && !ResumeValidator().empty();
}

size_t Attempt::Repeated(const char* data, size_t size) {
  if (compared >= overlap) return 0;
  const size_t same = static_cast<size_t>(std::min<int64_t>(size, overlap - compared));
  const char* kept = tail.data() + (tail.size() - overlap) + compared;
  if (std::memcmp(data, kept, same) != 0) {
    changed = true;
    return 0;
  }
  compared += static_cast<int64_t>(same);
  return same;
}

// Before the buffer being filled is handed over.
std::string Attempt::Tail() const {
  std::string end = lastFull.empty() ? tail : lastFull;
  if (buffer) end.append(buffer->bytes.get(), buffer->used);
  if (end.size() > static_cast<size_t>(kOverlap)) end.erase(0, end.size() - kOverlap);
  return end;
}

std::string Attempt::ResumeValidator() const {
  if (!acceptsRanges) return {};
  if (!info.etag.empty() && !info.etag.starts_with("W/")) return info.etag;
  return info.lastModified;
}

// A part other than the one asked for, a 416, bytes asked for again that
// differ from those held.
bool Attempt::Restarts() const {
  return offset > 0 && (changed || refusedStatus == 206 || !refusal.empty() || info.status == 416);
}

uint64_t DownloadSession::Impl::KeepPartial(Attempt& t, bool notModified, bool restart) {
  // A continued transfer broken before its answer's body began keeps its
  // partial file as it was.
  const bool untouched = t.offset > 0 && !t.bodyChecked && !restart && t.info.status != 206 &&
                         !Whole2xx(t.info.status);
  const std::string validator = untouched ? t.resumeValidator : t.ResumeValidator();
  const int64_t size = t.offset + t.written;
  const bool resumable =
      t.info.transient && !notModified && !restart && t.refusedStatus == 0 &&
      (untouched || (t.keepTail && size > 0 && size < t.total && !validator.empty() &&
                     (t.info.status == 200 || (t.offset > 0 && t.info.status == 206)))) &&
      !writer->Failed(t.ticket);
  if (!resumable) {
    if (t.buffer) writer->Return(t.buffer);
    t.buffer = nullptr;
    writer->Abandon(t.ticket);
    return 0;
  }
  partials.emplace(++lastPartial,
                   Partial{t.ticket, t.url, t.path, size, validator, t.total, t.Tail()});
  t.Hand();
  return lastPartial;
}

void DownloadSession::Drop(uint64_t partial) {
  const auto found = impl_->partials.find(partial);
  if (found == impl_->partials.end()) return;
  impl_->writer->Abandon(found->second.ticket);
  impl_->partials.erase(found);
}

}  // namespace fw
