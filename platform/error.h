// The one error type the program raises: a number and a description.
//
// Numbers in use:
//   5   invalid argument (a value the program cannot store, such as an entry
//       too long for the list file)
//   7   out of memory (reported by the top of the program, never raised)
//   9   subscript out of range (an index outside the list)
//   51  internal error (an unexpected exception, reported by the top of the
//       program or a window command, never raised)
//   53  file not found
//   75  path/file access error (a file could not be opened, read, written,
//       renamed or removed; the description names the file and the reason)
//   321 invalid file format (a data file whose contents cannot be what they
//       claim; the description names the file)
//
// Who catches it: the top of the program (startup/main.cpp), which reports it
// and ends with status 2, and the window's commands, which report it in the
// message box and keep the window open. Two layers turn it into a result
// instead of letting it pass: the download session, which makes a failed
// fetch's error its reason (DownloadSession::LastError), and the profile
// functions, whose results say 0 for a failed write, as their callers expect.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace fw {

enum ErrorNumber : int {
  kInvalidArgument = 5,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kInternalError = 51,
  kFileNotFound = 53,
  kFileAccess = 75,
  kInvalidFileFormat = 321,
};

class Error : public std::exception {
 public:
  Error(int number, std::string description)
      : number_(number), description_(std::move(description)) {}

  int Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int number_;
  std::string description_;
};

}  // namespace fw
