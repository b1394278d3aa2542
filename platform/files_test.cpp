#include "platform/files.h"
#include "platform/temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::ExpectError;
using Names = std::vector<std::string>;

class FilesTest : public ::testing::Test {
 protected:
  fwtest::TempFolder dir_;
};

mode_t Mode(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST_F(FilesTest, AtomicWriteReplacesWholeAndKeepsModeAndLinks) {
  const std::string path = dir_ / "list";
  fw::WriteFileAtomically(path, "old contents");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  fw::WriteFileAtomically(path, std::string("new\0bytes", 9));
  EXPECT_EQ(fw::ReadWholeFile(path), std::string("new\0bytes", 9));
  EXPECT_EQ(Mode(path), 0640u) << "an existing file keeps its permissions";
  EXPECT_EQ(dir_.Entries(), Names{"list"});

  // A new file is its owner's alone, whatever the umask lets others have.
  const mode_t old = umask(002);
  fw::WriteFileAtomically(dir_ / "masked", "x");
  umask(old);
  EXPECT_EQ(Mode(dir_ / "masked"), 0600u);

  // A link stays a link; the file it points to gets the new contents.
  ASSERT_EQ(symlink("list", (dir_ / "link").c_str()), 0);
  fw::WriteFileAtomically(dir_ / "link", "through the link");
  struct stat st {};
  ASSERT_EQ(lstat((dir_ / "link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(fw::ReadWholeFile(path), "through the link");
}

TEST_F(FilesTest, FailedWritesRaiseNamingTheFolder) {
  fw::Error e =
      ExpectError(fw::kFileAccess, [&] { fw::WriteFileAtomically(dir_ / "missing/list", "x"); });
  EXPECT_NE(e.Description().find(dir_ / "missing"), std::string::npos) << e.Description();
  ExpectError(fw::kFileNotFound, [&] { fw::ReadWholeFile(dir_ / "none"); });
}

TEST_F(FilesTest, TempFileIsHiddenAndRemovedUnlessCommitted) {
  const std::string dest = dir_ / "report-1.pdf";
  {
    fw::TempFile temp(dest);
    temp.Write("partial");
    // Unnamed where the file system allows it, hidden otherwise.
    for (const auto& name : dir_.Entries()) EXPECT_EQ(name[0], '.') << name;
  }
  EXPECT_TRUE(dir_.Entries().empty());
  {
    fw::TempFile temp(dest);
    temp.Write("whole");
    temp.Commit(fw::TempFile::Durability::kBeforeReplacing);
  }
  EXPECT_EQ(fw::ReadWholeFile(dest), "whole");
  EXPECT_EQ(dir_.Entries(), Names{"report-1.pdf"});
}

TEST_F(FilesTest, ClassifiesPaths) {
  fw::WriteFileAtomically(dir_ / "file", "x");
  ASSERT_EQ(symlink("file", (dir_ / "link").c_str()), 0);
  EXPECT_TRUE(fw::IsRegularFile(dir_ / "link"));
  EXPECT_FALSE(fw::IsRegularFile(dir_.Path()));
  EXPECT_FALSE(fw::IsRegularFile(""));
  EXPECT_EQ(fw::FolderOf("/a/b/c"), "/a/b");
  EXPECT_EQ(fw::FolderOf("/c"), "/");
  EXPECT_EQ(fw::FolderOf("c"), ".");
  EXPECT_FALSE(fw::ReadWholeFile("/proc/self/stat").empty()) << "files that report no size";
}

// Only a regular file is read, and never more than the limit: nothing here may
// block (a FIFO with no writer), read for ever (a device) or read in a huge
// sparse file before refusing it.
TEST_F(FilesTest, ReadingRefusesWhatIsNotAPlainFileOfBoundedSize) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir_ / "zero").c_str()), 0);
  ASSERT_EQ(symlink("gone", (dir_ / "dangling").c_str()), 0);
  const int fd = open((dir_ / "sparse").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{64} << 30), 0);  // 64 GiB of nothing
  close(fd);
  struct Case {
    std::string path;
    int number;
    const char* says;
  };
  for (const Case& c : {Case{dir_ / "fifo", fw::kFileAccess, "a FIFO"},
                        {dir_ / "zero", fw::kFileAccess, "a character device"},
                        {dir_.Path(), fw::kFileAccess, "a folder"},
                        {dir_ / "dangling", fw::kFileNotFound, "symbolic link"},
                        {dir_ / "sparse", fw::kFileAccess, "larger than 1048576 bytes"}}) {
    const fw::Error e = ExpectError(c.number, [&] { fw::ReadWholeFile(c.path, 1 << 20); });
    EXPECT_NE(e.Description().find(c.path), std::string::npos) << e.Description();
    EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
  }
  // The limit is the file's size at most: a file of exactly that size is read.
  fw::WriteFileAtomically(dir_ / "four", "1234");
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "four", 4), "1234");
  ExpectError(fw::kFileAccess, [&] { fw::ReadWholeFile(dir_ / "four", 3); });
}

// Leftovers of killed runs are removed; files a live writer holds, and
// anything that is not a hidden temporary file, stay.
TEST_F(FilesTest, SweepRemovesOnlyUnheldTemporaryFiles) {
  fwtest::WriteFile(dir_ / ".fetchwell-left0ver000.tmp", "killed");
  fwtest::WriteFile(dir_ / ".fetchwell-held000000.tmp", "live");
  fwtest::WriteFile(dir_ / ".fetchwell-note.txt", "not ours");
  fwtest::WriteFile(dir_ / "report.tmp", "a download");
  ASSERT_EQ(mkdir((dir_ / ".fetchwell-dir.tmp").c_str(), 0700), 0);
  ASSERT_EQ(symlink("report.tmp", (dir_ / ".fetchwell-link.tmp").c_str()), 0);
  const int held = open((dir_ / ".fetchwell-held000000.tmp").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);

  fw::RemoveLeftoverTempFiles(dir_.Path());
  EXPECT_EQ(dir_.Entries(), (Names{".fetchwell-dir.tmp", ".fetchwell-held000000.tmp",
                                   ".fetchwell-link.tmp", ".fetchwell-note.txt", "report.tmp"}));
  close(held);
  fw::RemoveLeftoverTempFiles(dir_.Path());
  EXPECT_EQ(dir_.Entries(), (Names{".fetchwell-dir.tmp", ".fetchwell-link.tmp",
                                   ".fetchwell-note.txt", "report.tmp"}));

  // A temporary file being written is held, and its first use in a folder
  // sweeps that folder.
  fwtest::TempFolder other;
  fwtest::WriteFile(other / ".fetchwell-left0ver000.tmp", "killed");
  fw::TempFile temp(other / "x");
  temp.Write("live");
  const Names left = other.Entries();
  EXPECT_EQ(std::find(left.begin(), left.end(), ".fetchwell-left0ver000.tmp"), left.end());
  fw::RemoveLeftoverTempFiles(other.Path());
  EXPECT_EQ(other.Entries(), left) << "the file being written stays";
}

}  // namespace
