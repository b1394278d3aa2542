#include "tests/e2e_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#ifndef FETCHWELL_EXECUTABLE
#error "FETCHWELL_EXECUTABLE must name the built fetchwell"
#endif

extern char** environ;

namespace fwtest {
namespace {

namespace fs = std::filesystem;

void PutLittleEndian(std::string& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// The environment of the program: ours without a display or a locale, plus LC_ALL=C.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "QT_QPA_PLATFORM" ||
        name == "LANG" || name == "LANGUAGE" || name.rfind("LC_", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("LC_ALL=C");
  return env;
}

// Forks and runs `exe` with `words`; `errFd` becomes its standard error.
pid_t Spawn(const std::string& exe, const std::vector<std::string>& words, int errFd) {
  std::vector<std::string> args{exe};
  args.insert(args.end(), words.begin(), words.end());
  std::vector<std::string> env = ChildEnvironment();
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(errFd, 2);
    if (isatty(2)) {
      setsid();
      ioctl(2, TIOCSCTTY, 0);
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    execve(exe.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid`, draining `readFd` (when not -1) into `out` meanwhile.
int Wait(pid_t pid, int timeoutSeconds, int readFd, std::string& out) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    if (readFd >= 0) {
      pollfd p{readFd, POLLIN, 0};
      while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        char buf[4096];
        const ssize_t n = read(readFd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
      }
    }
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      throw std::runtime_error("fetchwell did not end within " + std::to_string(timeoutSeconds) +
                               " s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (readFd >= 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(readFd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

std::string ListFileBytes(const std::vector<std::string>& entries) {
  std::string out;
  PutLittleEndian(out, static_cast<uint32_t>(static_cast<int32_t>(entries.size()) - 1), 4);
  for (const auto& e : entries) {
    PutLittleEndian(out, static_cast<uint32_t>(e.size()), 2);
    out += e;
  }
  return out;
}

std::string TodayInTheCLocale() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[64];
  // The test process never calls setlocale, so strftime works in the C locale.
  std::string date(buf, std::strftime(buf, sizeof buf, "%x", &local));
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

ProgramCopy::ProgramCopy() {
  const fs::path exe = FETCHWELL_EXECUTABLE;
  fs::copy_file(exe, folder_ / "fetchwell");
  const fs::path module = exe.parent_path() / "fetchwell-window.so";
  if (fs::exists(module)) fs::copy_file(module, folder_ / "fetchwell-window.so");
}

RunResult ProgramCopy::Run(const std::vector<std::string>& words, bool terminal,
                           int timeoutSeconds) const {
  RunResult result;
  if (!terminal) {
    return Finish(Start(words), timeoutSeconds);
  }
  int master = -1, slave = -1;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 80;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    throw std::runtime_error("openpty failed");
  }
  const pid_t pid = Spawn(folder_ / "fetchwell", words, slave);
  close(slave);
  try {
    result.status = Wait(pid, timeoutSeconds, master, result.errors);
  } catch (...) {
    close(master);
    throw;
  }
  close(master);
  return result;
}

pid_t ProgramCopy::Start(const std::vector<std::string>& words) const {
  const std::string errPath = scratch_ / "stderr";
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (err < 0) throw std::runtime_error("cannot create " + errPath);
  const pid_t pid = Spawn(folder_ / "fetchwell", words, err);
  close(err);
  return pid;
}

RunResult ProgramCopy::Finish(pid_t pid, int timeoutSeconds) const {
  RunResult result;
  std::string unused;
  result.status = Wait(pid, timeoutSeconds, -1, unused);
  result.errors = ReadAll(scratch_ / "stderr");
  return result;
}

}  // namespace fwtest
