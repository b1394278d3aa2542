#include "platform/retention.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/snapshot_record.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/temp_folder.h"

namespace fwtest {
// Defined in snapshot_record_test.cpp.
std::unique_ptr<TempFolder> FolderWithUserAttributes(std::string* why);
}  // namespace fwtest

namespace {

using fwtest::ExpectError;
using Names = std::vector<std::string>;

constexpr char kA[] = "https://example.org/report.pdf";
constexpr char kB[] = "https://example.org/other.pdf";

class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    dir_ = fwtest::FolderWithUserAttributes(&why);
    if (!dir_) GTEST_SKIP() << why;
  }

  std::string Path(const std::string& name) const { return *dir_ / name; }

  // A file `path` holding its own name, recorded as fetched from `url` at
  // `fetched`.
  static void Snapshot(const std::string& path, const std::string& url, int64_t fetched) {
    fwtest::WriteFile(path, path);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    EXPECT_TRUE(fw::WriteRecord(fd, {url, fetched, "", ""}, path));
    close(fd);
  }
  void Snapshot(const char* name, const std::string& url, int64_t fetched) const {
    Snapshot(Path(name), url, fetched);
  }

  // The paths of `names` in the folder.
  Names Paths(const Names& names) const {
    Names paths;
    for (const auto& name : names) paths.push_back(Path(name));
    return paths;
  }

  std::unique_ptr<fwtest::TempFolder> dir_;
};

TEST_F(RetentionTest, SnapshotsAreNewestFirstAndEqualTimesByName) {
  Snapshot("c-old", kA, 100);
  Snapshot("b-new", kA, 300);
  Snapshot("z-mid", kA, 200);
  Snapshot("a-mid", kA, 200);
  Snapshot("other", kB, 400);

  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), kA), Paths({"b-new", "a-mid", "z-mid", "c-old"}));
  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), kB), Paths({"other"}));
  EXPECT_EQ(fw::NewestSnapshot(dir_->Path(), kA), Path("b-new"));
  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), "https://example.org/"), Names{});
  EXPECT_EQ(fw::NewestSnapshot(dir_->Path(), "https://example.org/"), std::nullopt);
}

TEST_F(RetentionTest, OnlyOlderSnapshotsOfTheUrlAreRemoved) {
  fwtest::TempFolder elsewhere;
  Snapshot("report-01.pdf", kA, 100);
  Snapshot("report-02.pdf", kA, 200);
  Snapshot("report-03.pdf", kA, 300);
  Snapshot("report-04.pdf", kA, 400);
  Snapshot("other-01.pdf", kB, 50);
  Snapshot("other-02.pdf", kB, 60);
  // Look-alikes, each older than every real snapshot if it counted.
  fwtest::WriteFile(Path("report-00.pdf"), "no record");
  Snapshot("report-prefix.pdf", std::string(kA) + "?", 1);
  Snapshot("report-case.pdf", "HTTPS://example.org/report.pdf", 1);
  Snapshot(".fetchwell-abcdefghij.tmp", kA, 1);
  Snapshot(elsewhere / "outside.pdf", kA, 1);
  ASSERT_EQ(symlink((elsewhere / "outside.pdf").c_str(), Path("report-link.pdf").c_str()), 0);
  ASSERT_EQ(symlink("report-01.pdf", Path("report-link-01.pdf").c_str()), 0);
  ASSERT_EQ(mkdir(Path("report-folder.pdf").c_str(), 0700), 0);
  ASSERT_EQ(
      setxattr(Path("report-folder.pdf").c_str(), "user.fetchwell.url", kA, std::strlen(kA), 0), 0);
  ASSERT_EQ(setxattr(Path("report-folder.pdf").c_str(), "user.fetchwell.fetched", "1", 1, 0), 0);
  Snapshot("report-malformed.pdf", kA, 1);
  ASSERT_EQ(setxattr(Path("report-malformed.pdf").c_str(), "user.fetchwell.fetched", "1x", 2, 0),
            0);

  std::vector<std::string> failures;
  fw::KeepNewest(dir_->Path(), kA, 2, &failures);
  EXPECT_EQ(failures, Names{});
  EXPECT_EQ(dir_->Entries(),
            (Names{".fetchwell-abcdefghij.tmp", "other-01.pdf", "other-02.pdf", "report-00.pdf",
                   "report-03.pdf", "report-04.pdf", "report-case.pdf", "report-folder.pdf",
                   "report-link-01.pdf", "report-link.pdf", "report-malformed.pdf",
                   "report-prefix.pdf"}));
  EXPECT_EQ(fwtest::ReadFile(elsewhere / "outside.pdf"), elsewhere / "outside.pdf");
  EXPECT_EQ(fwtest::ReadFile(Path("report-04.pdf")), Path("report-04.pdf"));

  // Keeping more than there are removes nothing; keeping one, the newest stays.
  fw::KeepNewest(dir_->Path(), kB, 5, &failures);
  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), kB), Paths({"other-02.pdf", "other-01.pdf"}));
  fw::KeepNewest(dir_->Path(), kA, 1, &failures);
  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), kA), Paths({"report-04.pdf"}));
  EXPECT_EQ(failures, Names{});
}

TEST_F(RetentionTest, BadArgumentsAndMissingFoldersRaise) {
  ExpectError(fw::kInvalidArgument, [&] { fw::KeepNewest(dir_->Path(), kA, 0, nullptr); });
  const std::string missing = Path("missing");
  for (const auto& action : std::vector<std::function<void()>>{
           [&] { fw::SnapshotsOf(missing, kA); },
           [&] { fw::NewestSnapshot(missing, kA); },
           [&] { fw::KeepNewest(missing, kA, 1, nullptr); },
       }) {
    fw::Error e = ExpectError(fw::kFileAccess, action);
    EXPECT_NE(e.Description().find(missing), std::string::npos) << e.Description();
  }
}

// Makes a file immutable (or mutable again): not even root may remove it.
// 0 when done, else the reason.
int SetImmutable(const std::string& path, bool on) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int flags = 0;
  int err = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? 0 : errno;
  if (err == 0) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    err = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 ? 0 : errno;
  }
  close(fd);
  return err;
}

TEST_F(RetentionTest, FailedRemovalIsReportedAndTheRestGoOn) {
  Snapshot("s1", kA, 100);
  Snapshot("s2", kA, 200);
  Snapshot("s3", kA, 300);
  // Root removes files whatever the folder's permissions; an immutable file
  // it cannot. Others cannot remove files from a folder without write
  // permission.
  const bool root = geteuid() == 0;
  if (root) {
    if (const int err = SetImmutable(Path("s1"), true)) {
      GTEST_SKIP() << "running as root, where only an immutable file resists removal, and "
                   << "the file system refuses the immutable flag: " << std::strerror(err);
    }
  } else {
    ASSERT_EQ(chmod(dir_->Path().c_str(), 0500), 0);
  }

  std::vector<std::string> failures;
  fw::KeepNewest(dir_->Path(), kA, 1, &failures);
  if (root) {
    EXPECT_EQ(SetImmutable(Path("s1"), false), 0);
  } else {
    chmod(dir_->Path().c_str(), 0700);
  }

  const Names stuck = root ? Names{"s1"} : Names{"s1", "s2"};
  ASSERT_EQ(failures.size(), stuck.size());
  for (const auto& name : stuck) {
    bool named = false;
    for (const auto& line : failures) named = named || line.find(Path(name)) != std::string::npos;
    EXPECT_TRUE(named) << name << " missing from the failures";
  }
  for (const auto& line : failures) {
    EXPECT_NE(line.find(std::strerror(root ? EPERM : EACCES)), std::string::npos) << line;
  }
  Names left = stuck;
  left.insert(left.end(), "s3");
  std::sort(left.begin(), left.end());
  EXPECT_EQ(dir_->Entries(), left);
}

TEST_F(RetentionTest, FewSnapshotsAmongManyLookAlikes) {
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i) {
    fwtest::WriteFile(Path("report-" + std::to_string(i) + ".pdf"), "");
  }
  Snapshot("report-new.pdf", kA, 2);
  Snapshot("report-old.pdf", kA, 1);
  fw::KeepNewest(dir_->Path(), kA, 1, nullptr);
  EXPECT_EQ(fw::SnapshotsOf(dir_->Path(), kA), Paths({"report-new.pdf"}));
  EXPECT_EQ(dir_->Entries().size(), static_cast<size_t>(kFiles) + 1);
}

}  // namespace
