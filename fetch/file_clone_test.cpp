#include "fetch/file_clone.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/temp_file.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/scoped_env.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::ExpectError;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

// Copies `source` into a new temporary file committed as `copyPath`, the way a
// run starts a snapshot from an older one. The source's descriptor is moved
// off its start first: the copy must not depend on it.
fw::CopyMethod CopyThroughTempFile(const std::string& source, const std::string& copyPath) {
  const int from = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(from, 0) << source;
  EXPECT_EQ(lseek(from, 3, SEEK_SET), 3);
  fw::TempFile temp(copyPath);
  const fw::CopyMethod method = fw::CopyFileContents(from, temp.fd(), copyPath);
  EXPECT_EQ(lseek(from, 0, SEEK_CUR), 3) << "the source's position is left as it was";
  EXPECT_EQ(lseek(temp.fd(), 0, SEEK_CUR), 0) << "and so is the copy's";
  temp.Commit(fw::TempFile::Durability::kBeforeReplacing);
  close(from);
  return method;
}

long FileSystemType(const std::string& path) {
  struct statfs fs {};
  return statfs(path.c_str(), &fs) == 0 ? static_cast<long>(fs.f_type) : -1;
}

TEST(FileCloneTest, CopiesAreExactAndFilesOfTheirOwn) {
  fwtest::TempFolder dir;
  // Within one file system, and from another (/dev/shm, when it is one) where
  // the kernel cannot copy in place.
  struct Place {
    const char* what;
    std::unique_ptr<fwtest::TempFolder> folder;
  };
  std::vector<Place> sources;
  sources.push_back({"same file system", std::make_unique<fwtest::TempFolder>()});
  if (FileSystemType("/dev/shm") >= 0 && FileSystemType("/dev/shm") != FileSystemType(dir.Path())) {
    fwtest::ScopedEnv env("TMPDIR", "/dev/shm");
    sources.push_back({"another file system", std::make_unique<fwtest::TempFolder>()});
  }

  const size_t sizes[] = {0, 1, (size_t{3} << 20) + 7};
  for (const Place& place : sources) {
    for (size_t size : sizes) {
      SCOPED_TRACE(std::string(place.what) + ", " + std::to_string(size) + " bytes");
      const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
      const std::string source = *place.folder / "source";
      const std::string copy = dir / "copy";
      fwtest::WriteFile(source, bytes);

      const fw::CopyMethod method = CopyThroughTempFile(source, copy);
      std::cout << "[  NOTE    ] " << place.what << ", " << size
                << " bytes: " << fw::CopyMethodName(method) << "\n";
      EXPECT_EQ(fwtest::ReadFile(copy), bytes);

      struct stat a {};
      struct stat b {};
      ASSERT_EQ(stat(source.c_str(), &a), 0);
      ASSERT_EQ(stat(copy.c_str(), &b), 0);
      EXPECT_FALSE(a.st_dev == b.st_dev && a.st_ino == b.st_ino) << "never a hard link";
      EXPECT_EQ(b.st_nlink, 1u);

      // Changing the copy leaves the source as it was.
      fwtest::WriteFile(copy, "changed");
      EXPECT_EQ(fwtest::ReadFile(source), bytes);
      ASSERT_EQ(unlink(copy.c_str()), 0);
    }
  }
}

TEST(FileCloneTest, RefusesANonEmptyCopyAndReportsFailures) {
  fwtest::TempFolder dir;
  fwtest::WriteFile(dir / "source", "source bytes");
  fwtest::WriteFile(dir / "full", "already here");
  const int from = open((dir / "source").c_str(), O_RDONLY | O_CLOEXEC);
  const int full = open((dir / "full").c_str(), O_RDWR | O_CLOEXEC);
  const int writeOnly = open((dir / "source").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(from, 0);
  ASSERT_GE(full, 0);
  ASSERT_GE(writeOnly, 0);

  ExpectError(fw::kInvalidArgument, [&] { fw::CopyFileContents(from, full, "full"); });
  EXPECT_EQ(fwtest::ReadFile(dir / "full"), "already here");

  fw::TempFile temp(dir / "copy");
  fw::Error e =
      ExpectError(fw::kFileAccess, [&] { fw::CopyFileContents(writeOnly, temp.fd(), "the copy"); });
  EXPECT_NE(e.Description().find("the copy"), std::string::npos) << e.Description();
  EXPECT_NE(e.Description().find(std::strerror(EBADF)), std::string::npos) << e.Description();
  // Past the run's deadline a copy stops (a clone, instant, is still made).
  fw::TempFile late(dir / "late");
  try {
    EXPECT_EQ(fw::CopyFileContents(from, late.fd(), "late", std::chrono::steady_clock::now()),
              fw::CopyMethod::kClone);
  } catch (const fw::Error& error) {
    EXPECT_EQ(error.Description(), "the run's time limit was reached");
  }
  close(from);
  close(full);
  close(writeOnly);
}

}  // namespace
