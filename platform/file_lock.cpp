#include "platform/file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace fw {
namespace {

void Interrupted(int) {}

}  // namespace

// A timer of this thread's own interrupts the wait every 100 ms, so that the
// deadline is looked at even though flock itself has no time limit.
bool LockWithin(int fd, int operation, std::chrono::milliseconds wait) {
  if (flock(fd, operation | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return false;
  const int signal = SIGRTMIN + 2;
  struct sigaction action {};
  struct sigaction before {};
  action.sa_handler = Interrupted;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: flock returns EINTR
  sigaction(signal, &action, &before);
  sigset_t set;
  sigset_t mask;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, &mask);
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = signal;
  event._sigev_un._tid = gettid();
  timer_t timer{};
  const bool timed = timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
  if (timed) {
    const itimerspec every{{0, 100'000'000}, {0, 100'000'000}};
    timer_settime(timer, 0, &every, nullptr);
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  int result = 0;
  int error = 0;
  for (;;) {
    result = flock(fd, operation);
    error = errno;
    if (result == 0 || error != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      error = EWOULDBLOCK;
      break;
    }
  }
  // A signal of the timer is handled as soon as it comes, so none is left
  // pending for the handler restored below.
  if (timed) timer_delete(timer);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(signal, &before, nullptr);
  errno = error;
  return result == 0;
}

FolderLock::FolderLock(const std::string& folder, Mode mode, std::chrono::seconds wait) {
  fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    if (errno != EMFILE && errno != ENFILE) return;  // the files' own errors will tell
    throw Error(kFileAccess,
                "cannot open the folder " + folder + " to lock it: " + std::strerror(errno));
  }
  const int operation = mode == Mode::kExclusive ? LOCK_EX : LOCK_SH;
  if (LockWithin(fd_, operation, wait)) return;
  const int error = errno;
  close(fd_);
  fd_ = -1;
  // No locks on this file system (an NFS one refuses an exclusive lock on a
  // folder opened for reading): it is used as it was before locks.
  if (error == ENOLCK || error == EOPNOTSUPP || error == EBADF || error == EINVAL) return;
  if (error == EWOULDBLOCK) {
    throw Error(kFileAccess, "the folder " + folder + " is kept locked by another program (for " +
                                 std::to_string(wait.count()) +
                                 " s); a stopped or stuck fetchwell may hold it");
  }
  throw Error(kFileAccess, "cannot lock the folder " + folder + ": " + std::strerror(error));
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace fw
