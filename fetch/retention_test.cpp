#include "fetch/retention.h"

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
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "fetch/content_hash.h"
#include "fetch/snapshot_folder.h"
#include "fetch/snapshot_record.h"
#include "platform/error.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/temp_folder.h"

namespace fwtest {
// Defined in snapshot_record_test.cpp.
std::unique_ptr<TempFolder> FolderWithUserAttributes(std::string* why);
}  // namespace fwtest

namespace {

using Names = std::vector<std::string>;

constexpr char kA[] = "https://example.org/report.pdf";
constexpr char kB[] = "https://example.org/b/report.pdf";
const fw::NameShape kShape{"report", "pdf"};

class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    dir_ = fwtest::FolderWithUserAttributes(&why);
    if (!dir_) GTEST_SKIP() << why;
  }

  std::string Path(const std::string& name) const { return *dir_ / name; }

  // A snapshot `name` of `url` fetched at `fetched`, holding its own name, with
  // the record the run gives it.
  void Snapshot(const std::string& name, const std::string& url, int64_t fetched) const {
    fwtest::WriteFile(Path(name), name);
    const int fd = open(Path(name).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << name;
    const fw::ContentDigest digest = fw::DigestOf(fd, name);
    fw::SnapshotRecord record;
    record.name = name;
    record.size = digest.size;
    record.hash = digest.hash;
    record.fetched = fetched;
    record.url = url;
    EXPECT_TRUE(fw::WriteRecord(fd, record).kept);
    close(fd);
  }
  // A file with the four attributes of an older version's record.
  void OldSnapshot(const std::string& name, const std::string& url, int64_t fetched) const {
    fwtest::WriteFile(Path(name), name);
    const std::string when = std::to_string(fetched);
    ASSERT_EQ(setxattr(Path(name).c_str(), "user.fetchwell.url", url.data(), url.size(), 0), 0);
    ASSERT_EQ(setxattr(Path(name).c_str(), "user.fetchwell.fetched", when.data(), when.size(), 0),
              0);
  }
  Names Own(const std::string& url, const Names& placed = {}) const {
    Names names;
    const fw::SnapshotFolder folder(dir_->Path());
    for (const auto& s : folder.OwnSnapshots(url, kShape, placed, now_)) names.push_back(s.name);
    return names;
  }
  void Copy(const std::string& from, const std::string& to) const {
    ASSERT_EQ(system(("cp -a '" + Path(from) + "' '" + Path(to) + "'").c_str()), 0);
  }

  std::unique_ptr<fwtest::TempFolder> dir_;
  const int64_t now_ = static_cast<int64_t>(std::time(nullptr));
};

// Only files proven to be the URL's own snapshots count: by the record's URL,
// the recorded name, the dated shape and a single link.
TEST_F(RetentionTest, OwnSnapshotsAreProvenFileByFile) {
  Snapshot("report-1.pdf", kA, 100);
  Snapshot("report-2.pdf", kA, 200);
  Snapshot("report-9.pdf", kA, now_ + 365 * 86400);  // the clock was a year ahead
  OldSnapshot("report-0.pdf", kA, 50);
  Copy("report-2.pdf", "report-2-annotated.pdf");  // cp -a: the record comes along
  Copy("report-1.pdf", "report-keep.pdf");
  Snapshot("report-3.pdf", kA, 300);
  ASSERT_EQ(link(Path("report-3.pdf").c_str(), Path("report-3-link.pdf").c_str()), 0);
  Snapshot("report-4.pdf", kB, 400);  // another URL of the same name
  OldSnapshot("saved.pdf", kA, 60);   // an old record, but not the entry's shape
  Snapshot("report-5.txt", kA, 500);
  fwtest::WriteFile(Path("report-6.pdf"), "no record");
  ASSERT_EQ(symlink("report-2.pdf", Path("report-7.pdf").c_str()), 0);

  EXPECT_EQ(Own(kA), (Names{"report-2.pdf", "report-1.pdf", "report-0.pdf", "report-9.pdf"}));
  EXPECT_EQ(Own(kA, {"report-1.pdf"}),
            (Names{"report-1.pdf", "report-2.pdf", "report-0.pdf", "report-9.pdf"}));
  EXPECT_EQ(Own(kB), (Names{"report-4.pdf"}));
}

TEST_F(RetentionTest, RemovesOnlyWhatIsStillItsOwnBeyondTheNewest) {
  Snapshot("report-1.pdf", kA, 100);
  Snapshot("report-2.pdf", kA, 200);
  Snapshot("report-3.pdf", kA, 300);
  Snapshot("report-9.pdf", kA, now_ + 86400 * 30);
  Copy("report-1.pdf", "report-1-mine.pdf");
  // Edited in place since it was fetched, same size: the user's file now.
  fwtest::WriteFile(Path("report-2.pdf"), "REPORT-2.pdf");
  Snapshot("report-4.pdf", kA, 50);  // today's file, whatever the clock said

  fw::RetentionPlan plan(1);
  plan.Placed(kA, kA, kShape, Path("report-4.pdf"));
  EXPECT_TRUE(plan.Apply(now_).empty());
  EXPECT_EQ(dir_->Entries(), (Names{"report-1-mine.pdf", "report-2.pdf", "report-4.pdf"}));
  EXPECT_EQ(fwtest::ReadFile(Path("report-1-mine.pdf")), "report-1.pdf");
}

// Two entries of one name: the first URL's file was replaced, so its older
// snapshot is all it has and stays.
TEST_F(RetentionTest, AReplacedEntryGetsNoRetention) {
  Snapshot("report-1.pdf", kA, 100);
  Snapshot("report-2.pdf", kB, 150);
  Snapshot("report-3.pdf", kB, 200);  // entry B replaced entry A's file today
  fw::RetentionPlan plan(1);
  plan.Placed(kA, kA, kShape, Path("report-3.pdf"));
  plan.Placed(kB, kB, kShape, Path("report-3.pdf"));
  EXPECT_TRUE(plan.Apply(now_).empty());
  EXPECT_EQ(dir_->Entries(), (Names{"report-1.pdf", "report-3.pdf"}));

  fwtest::ExpectError(fw::kInvalidArgument, [] { fw::RetentionPlan none(0); });
  fw::RetentionPlan missing(1);
  missing.Placed(kA, kA, kShape, Path("gone/report-1.pdf"));
  const auto failures = missing.Apply(now_);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].entry, kA);
  EXPECT_NE(failures[0].line.find(Path("gone")), std::string::npos) << failures[0].line;
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
  Snapshot("report-1.pdf", kA, 100);
  Snapshot("report-2.pdf", kA, 200);
  Snapshot("report-3.pdf", kA, 300);
  // Root removes files whatever the folder's permissions; an immutable file
  // it cannot. Others cannot remove files from a folder without write
  // permission.
  const bool root = geteuid() == 0;
  if (root) {
    if (const int err = SetImmutable(Path("report-1.pdf"), true)) {
      GTEST_SKIP() << "running as root, where only an immutable file resists removal, and "
                   << "the file system refuses the immutable flag: " << std::strerror(err);
    }
  } else {
    ASSERT_EQ(chmod(dir_->Path().c_str(), 0500), 0);
  }
  fw::RetentionPlan plan(1);
  plan.Placed(kA, kA, kShape, Path("report-3.pdf"));
  const auto failures = plan.Apply(now_);
  if (root) {
    EXPECT_EQ(SetImmutable(Path("report-1.pdf"), false), 0);
  } else {
    chmod(dir_->Path().c_str(), 0700);
  }

  const Names stuck = root ? Names{"report-1.pdf"} : Names{"report-1.pdf", "report-2.pdf"};
  ASSERT_EQ(failures.size(), stuck.size());
  for (size_t i = 0; i < stuck.size(); ++i) {
    EXPECT_EQ(failures[i].entry, kA);
    EXPECT_NE(failures[i].line.find(std::strerror(root ? EPERM : EACCES)), std::string::npos)
        << failures[i].line;
  }
  Names left = stuck;
  left.push_back("report-3.pdf");
  EXPECT_EQ(dir_->Entries(), left);
}

}  // namespace
