#include "fetch/page_cache_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/fixtures/temp_folder.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;

// A file of `size` bytes whose pages are cached and already on disk, so that
// letting them go is immediate. Returns its open descriptor.
int CleanFile(const std::string& path, int64_t size) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::vector<char> chunk(kMiB, 'x');
  for (int64_t done = 0; done < size; done += kMiB) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(kMiB, size - done));
    if (write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) ADD_FAILURE() << "write";
  }
  fdatasync(fd);
  return fd;
}

// Which of the file's pages are in the page cache, one letter each: c or -.
std::string Cached(int fd, int64_t size) {
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  std::vector<unsigned char> in((static_cast<size_t>(size) + page - 1) / page);
  mincore(map, static_cast<size_t>(size), in.data());
  munmap(map, static_cast<size_t>(size));
  std::string pages;
  for (unsigned char p : in) pages += (p & 1) ? 'c' : '-';
  return pages;
}

// The same letters, in MiB: "c" when all of a MiB is cached, "-" when none.
std::string CachedMiB(int fd, int64_t size) {
  const std::string pages = Cached(fd, size);
  const size_t per = static_cast<size_t>(kMiB / sysconf(_SC_PAGESIZE));
  std::string mib;
  for (size_t at = 0; at < pages.size(); at += per) {
    const std::string part = pages.substr(at, per);
    mib += part.find('-') == std::string::npos   ? 'c'
           : part.find('c') == std::string::npos ? '-'
                                                 : '?';
  }
  return mib;
}

// Whether this file system lets cached pages go when asked (tmpfs does not).
bool LetsGo(const std::string& folder) {
  const int fd = CleanFile(folder + "/probe", kMiB);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  const bool gone = Cached(fd, kMiB).find('c') == std::string::npos;
  close(fd);
  unlink((folder + "/probe").c_str());
  return gone;
}

// The oldest bytes go first: the finished files (each whole), then the start
// of the one being written; the newest `keep` bytes stay, and every descriptor the window
// took is closed with it.
TEST(PageCacheWindowTest, LetsGoOfTheOldestBytesBeyondTheWindow) {
  fwtest::TempFolder dir;
  if (!LetsGo(dir.Path())) GTEST_SKIP() << "this file system keeps its pages";
  const int before = fwtest::OpenDescriptors();
  const int a = CleanFile(dir / "a", 3 * kMiB);
  const int b = CleanFile(dir / "b", 6 * kMiB);
  {
    fw::PageCacheWindow window(4 * kMiB, 8);
    window.Start(a);
    window.Handed(3 * kMiB);
    window.Finished(dup(a), 3 * kMiB);
    EXPECT_EQ(CachedMiB(a, 3 * kMiB), "ccc");

    window.Start(b);
    window.Handed(3 * kMiB);  // 6 MiB in all: a finished file goes whole
    EXPECT_EQ(CachedMiB(a, 3 * kMiB), "---");
    EXPECT_EQ(CachedMiB(b, 6 * kMiB), "cccccc");
    window.Handed(6 * kMiB);  // b's first 2 MiB go
    EXPECT_EQ(CachedMiB(b, 6 * kMiB), "--cccc");
    window.Finished(dup(b), 6 * kMiB);
    EXPECT_EQ(CachedMiB(b, 6 * kMiB), "--cccc");
  }
  close(a);
  close(b);
  EXPECT_EQ(fwtest::OpenDescriptors(), before);
}

// However small the files, only the number of files asked for is held; a file given
// without one (-1) is neither held nor let go.
TEST(PageCacheWindowTest, HoldsAFewFilesAtMost) {
  fwtest::TempFolder dir;
  if (!LetsGo(dir.Path())) GTEST_SKIP() << "this file system keeps its pages";
  const int before = fwtest::OpenDescriptors();
  constexpr size_t kHeld = 16;
  const size_t count = kHeld + 3;
  std::vector<int> fds;
  {
    fw::PageCacheWindow window(1024 * kMiB, kHeld);
    for (size_t i = 0; i < count; ++i) {
      fds.push_back(CleanFile(dir / std::to_string(i), 4096));
      window.Start(fds.back());
      window.Finished(i == 1 ? -1 : dup(fds.back()), 4096);
    }
    EXPECT_EQ(fwtest::OpenDescriptors(), before + static_cast<int>(count + kHeld));
    std::string cached;
    for (int fd : fds) cached += Cached(fd, 4096);
    EXPECT_EQ(cached, "-c-" + std::string(count - 3, 'c'));
  }
  for (int fd : fds) close(fd);
  EXPECT_EQ(fwtest::OpenDescriptors(), before);
}

}  // namespace
