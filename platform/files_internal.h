// Private to platform/files*.cpp: the error helpers and the descriptor guard
// both halves of the file services share.
#pragma once

#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/error.h"

namespace fw {

[[noreturn]] inline void RaiseAccess(const std::string& what, const std::string& path, int err) {
  throw Error(kFileAccess, what + " " + path + ": " + std::strerror(err));
}

// "<what> (<call>: <the system's reason>)", as Commit's errors say it.
[[noreturn]] inline void RaiseCall(const std::string& what, const char* call, int err) {
  throw Error(kFileAccess, what + " (" + call + ": " + std::strerror(err) + ")");
}

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd;
  explicit Descriptor(int f) : fd(f) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

}  // namespace fw
