#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  fw::WriteFileAtomically(path, std::string("new\0bytes", 9));
  EXPECT_EQ(fw::ReadWholeFile(path), std::string("new\0bytes", 9));
  EXPECT_EQ(Mode(path), 0600u) << "a private file stays private";
  EXPECT_EQ(dir_.Entries(), Names{"list"});

  // A new file gets the permissions an ordinary new file gets under the umask.
  const mode_t old = umask(027);
  fw::WriteFileAtomically(dir_ / "masked", "x");
  umask(old);
  EXPECT_EQ(Mode(dir_ / "masked"), 0640u);

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
    temp.Commit(fw::TempFile::Durability::kDataOrdered);
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

}  // namespace
