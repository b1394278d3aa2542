// The one error type the program raises: a number and a description.
//
// Numbers in use:
//   5   invalid argument
//   9   subscript out of range
//   53  file not found
//   75  path/file access error (a file could not be opened, read, written,
//       renamed or removed; the description names the file and the reason)
//   321 invalid file format (a data file whose contents cannot be what they
//       claim; the description names the file)
//
// Only the top of the program and the window's commands catch it.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace fw {

enum ErrorNumber : int {
  kInvalidArgument = 5,
  kSubscriptOutOfRange = 9,
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
