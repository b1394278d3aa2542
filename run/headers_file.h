// The request headers of a run, from the private file that the HeadersFile
// key of section "Download" names.
//
// Each line: a URL prefix, spaces or tabs, and one header "Name: value".
// Blank lines are skipped, and so is a line whose first character other than a
// space or tab is "#" (a "#" further on is part of the line: a token may hold
// one); a line may end in CR LF.
//  - A prefix is an http or https URL: scheme, host, optional port and path,
//    with no user, password, query or fragment. A URL lies under it when it
//    has the same origin (scheme and host in any case; the port written, or
//    the scheme's own) and its path is the prefix's path or continues it
//    after a "/": "https://h/api" covers /api, /api/x and /api?q, not /apix;
//    "https://h/api/" covers /api/x, not /api. Paths compare byte for byte
//    once "." and ".." segments are resolved, as for the request.
//  - A header's name is a token (letters, digits, !#$%&'*+-.^_`|~); its
//    value, without the spaces and tabs around it, is not empty. Headers the
//    program sets itself (Host, Range, If-Range, If-None-Match,
//    If-Modified-Since, Content-Length, Transfer-Encoding, Connection) are
//    refused.
//  - A line holding a control byte other than a tab (a lone CR, a NUL) is
//    refused whole, so that no value can end its header and begin another.
// Each line not taken is said in a notice by its number and why, never by its
// text: no value ever appears in what these functions return but For().
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "fetch/url_place.h"

class RequestHeaders {
 public:
  // The largest file read, as for ~/.netrc.
  static constexpr off_t kMaxBytes = 1 << 20;

  RequestHeaders() = default;  // no headers

  // Reads the file `path` once, by the rules of a file of secrets
  // (fw::ReadPrivateFile: a regular file no other user may read, at most
  // kMaxBytes); one that is not used (a missing one too) gives no headers and
  // one notice. Never raises but std::bad_alloc.
  static RequestHeaders Read(const std::string& path);
  // The headers of `text`, the file `path`'s contents.
  static RequestHeaders Parse(const std::string& path, std::string_view text);

  // Every header ("Name: value") of every line whose prefix covers `url`, in
  // the file's order; none for a URL that is not http or https.
  std::vector<std::string> For(const std::string& url) const;

  // What the file gives, for --list: "3 headers for 2 prefixes", with
  // "; 1 line not used" added when so; or why the file is not used.
  std::string Summary() const;
  // Whether no line was taken.
  bool Empty() const { return lines_.empty(); }
  // The lines for the user about the file, each to be said once per run.
  const std::vector<std::string>& Notices() const { return notices_; }

 private:
  struct Line {
    fw::UrlPlace prefix;
    std::string header;
  };
  std::vector<Line> lines_;
  std::vector<std::string> notices_;
  std::string refusal_;  // why the file is not used; empty when it is
  size_t skipped_ = 0;   // lines not taken
};
