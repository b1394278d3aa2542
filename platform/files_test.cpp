#include "platform/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/fw-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
  }

  std::string dir_;
};

TEST_F(FilesTest, AtomicWriteReplacesWholeAndLeavesNothingElse) {
  std::string path = dir_ + "/list";
  fw::WriteFileAtomically(path, "old contents");
  fw::WriteFileAtomically(path, std::string("new\0bytes", 9));
  EXPECT_EQ(fw::ReadWholeFile(path), std::string("new\0bytes", 9));
  EXPECT_EQ(Names(), std::vector<std::string>{"list"});

  // The new file gets the permissions an ordinary new file gets under the umask.
  mode_t old = umask(027);
  fw::WriteFileAtomically(dir_ + "/masked", "x");
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/masked").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(FilesTest, AtomicWriteKeepsPermissionsAndSymbolicLinks) {
  // A private file stays private when it is replaced.
  std::string path = dir_ + "/private";
  fw::WriteFileAtomically(path, "old");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  fw::WriteFileAtomically(path, "new");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // A link stays a link; the file it points to gets the new contents.
  ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0700), 0);
  fw::WriteFileAtomically(dir_ + "/real/list", "old");
  ASSERT_EQ(symlink("real/list", (dir_ + "/link").c_str()), 0);
  fw::WriteFileAtomically(dir_ + "/link", "new");
  ASSERT_EQ(lstat((dir_ + "/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(fw::ReadWholeFile(dir_ + "/real/list"), "new");
}

TEST_F(FilesTest, FailedWritesRaiseAndKeepTheOldFile) {
  try {
    fw::WriteFileAtomically(dir_ + "/missing/list", "x");
    FAIL() << "expected an error";
  } catch (const fw::Error& e) {
    EXPECT_EQ(e.Number(), fw::kFileAccess);
    EXPECT_NE(e.Description().find(dir_ + "/missing"), std::string::npos);
  }
  // Renaming over a folder fails after the temporary file was written: the
  // folder stays and no temporary file is left beside it.
  ASSERT_EQ(mkdir((dir_ + "/taken").c_str(), 0755), 0);
  EXPECT_THROW(fw::WriteFileAtomically(dir_ + "/taken", "x"), fw::Error);
  EXPECT_EQ(Names(), std::vector<std::string>{"taken"});
}

TEST_F(FilesTest, TempFileIsHiddenAndRemovedUnlessCommitted) {
  std::string dest = dir_ + "/report-1.pdf";
  {
    fw::TempFile temp(dest);
    temp.Write("partial");
    // Unnamed where the file system allows it, hidden otherwise.
    for (const auto& name : Names()) EXPECT_EQ(name[0], '.') << name;
  }
  EXPECT_TRUE(Names().empty());
  {
    fw::TempFile temp(dest);
    temp.Write("whole");
    temp.Commit(fw::TempFile::Durability::kDataOrdered);
  }
  EXPECT_EQ(fw::ReadWholeFile(dest), "whole");
  EXPECT_EQ(Names(), std::vector<std::string>{"report-1.pdf"});
}

TEST_F(FilesTest, KilledWriterLeavesNothingBehind) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fw::TempFile temp(dir_ + "/big.bin");
    temp.Write(std::string(1 << 20, 'x'));
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(Names().empty());
}

TEST_F(FilesTest, ReadsAndClassifiesPaths) {
  EXPECT_THROW(
      {
        try {
          fw::ReadWholeFile(dir_ + "/none");
        } catch (const fw::Error& e) {
          EXPECT_EQ(e.Number(), fw::kFileNotFound);
          throw;
        }
      },
      fw::Error);
  std::string big(200000, 'z');
  fw::WriteFileAtomically(dir_ + "/big", big);
  EXPECT_EQ(fw::ReadWholeFile(dir_ + "/big"), big);
  ASSERT_EQ(symlink((dir_ + "/big").c_str(), (dir_ + "/link").c_str()), 0);
  EXPECT_TRUE(fw::IsRegularFile(dir_ + "/link"));
  EXPECT_FALSE(fw::IsRegularFile(dir_));
  EXPECT_FALSE(fw::IsRegularFile(""));
  EXPECT_EQ(fw::FolderOf("/a/b/c"), "/a/b");
  EXPECT_EQ(fw::FolderOf("/c"), "/");
  EXPECT_EQ(fw::FolderOf("c"), ".");
  EXPECT_EQ(fw::ReadWholeFile("/proc/self/stat").empty(), false);
}

}  // namespace
