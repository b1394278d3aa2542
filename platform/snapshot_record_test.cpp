#include "platform/snapshot_record.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/scoped_env.h"
#include "tests/fixtures/temp_folder.h"

namespace fwtest {

// A fresh temporary folder on a file system that stores user extended
// attributes: under $TMPDIR or /tmp when it does, else /var/tmp or the build
// folder (on disk). Null, with the places tried in `why`, when none does.
// Shared with retention_test.cpp.
std::unique_ptr<TempFolder> FolderWithUserAttributes(std::string* why) {
  std::vector<std::string> bases;
  if (const char* tmpdir = getenv("TMPDIR"); tmpdir && *tmpdir) bases.push_back(tmpdir);
  bases.push_back("/tmp");
  bases.push_back("/var/tmp");
  if (const char* build = getenv("FETCHWELL_BUILD_DIR"); build && *build) bases.push_back(build);
  *why = "no folder on a file system with user extended attributes; tried";
  for (const std::string& base : bases) {
    std::unique_ptr<TempFolder> folder;
    try {
      ScopedEnv env("TMPDIR", base.c_str());
      folder = std::make_unique<TempFolder>();
    } catch (const std::exception&) {
      *why += " " + base + " (cannot make a folder)";
      continue;
    }
    const std::string probe = *folder / "probe";
    WriteFile(probe, "");
    const bool stored = setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    const int err = errno;
    unlink(probe.c_str());
    if (stored) return folder;
    *why += " " + base + " (" + std::strerror(err) + ")";
  }
  return nullptr;
}

}  // namespace fwtest

namespace {

using fwtest::ExpectError;

constexpr char kUrl[] = "user.fetchwell.url";
constexpr char kFetched[] = "user.fetchwell.fetched";
constexpr char kEtag[] = "user.fetchwell.etag";
constexpr char kLastModified[] = "user.fetchwell.last-modified";

class RecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    dir_ = fwtest::FolderWithUserAttributes(&why);
    if (!dir_) GTEST_SKIP() << why;
  }

  // A new file `name` holding `data`, open for writing.
  int NewFile(const std::string& name, const std::string& data = "contents") {
    fwtest::WriteFile(Path(name), data);
    const int fd = open(Path(name).c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0) << Path(name);
    fds_.push_back(fd);
    return fd;
  }
  std::string Path(const std::string& name) const { return *dir_ / name; }

  void TearDown() override {
    for (int fd : fds_) close(fd);
  }

  std::unique_ptr<fwtest::TempFolder> dir_;
  std::vector<int> fds_;
};

bool HasAttribute(const std::string& path, const char* name) {
  return lgetxattr(path.c_str(), name, nullptr, 0) >= 0;
}

void ExpectSameRecord(const std::optional<fw::SnapshotRecord>& got,
                      const fw::SnapshotRecord& want) {
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->url, want.url);
  EXPECT_EQ(got->fetched, want.fetched);
  EXPECT_EQ(got->etag, want.etag);
  EXPECT_EQ(got->lastModified, want.lastModified);
}

TEST_F(RecordsTest, RecordsReadBackAsWrittenAndRewritingIsExact) {
  const fw::SnapshotRecord records[] = {
      {"https://example.org/report.pdf", 1783900800, "\"33a64df5\"",
       "Sun, 12 Jul 2026 06:00:00 GMT"},
      {"https://example.org/report.pdf", 1783900800, "", ""},
      {"ftp://example.org/a b/caf\xc3\xa9.txt", 0, "W/\"x\"", ""},
      {"file:///srv/data.csv", INT64_MAX, "", "Thu, 01 Jan 1970 00:00:00 GMT"},
  };
  for (const auto& record : records) {
    SCOPED_TRACE(record.url + " etag=" + record.etag);
    const int fd = NewFile("snapshot");
    ASSERT_TRUE(fw::WriteRecord(fd, record, "snapshot"));
    ExpectSameRecord(fw::ReadRecord(Path("snapshot")), record);
    ASSERT_EQ(unlink(Path("snapshot").c_str()), 0);
  }

  // A copy of an older snapshot carries its validators; a new record without
  // them must not inherit them.
  const int fd = NewFile("copy");
  ASSERT_TRUE(fw::WriteRecord(fd, records[0], "copy"));
  const fw::SnapshotRecord plain{"https://example.org/other", 42, "", ""};
  ASSERT_TRUE(fw::WriteRecord(fd, plain, "copy"));
  ExpectSameRecord(fw::ReadRecord(Path("copy")), plain);
  EXPECT_FALSE(HasAttribute(Path("copy"), kEtag));
  EXPECT_FALSE(HasAttribute(Path("copy"), kLastModified));
}

TEST_F(RecordsTest, MalformedRecordsAreNoRecords) {
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, std::string>> attributes;
    bool mayBeRefused = false;  // too large for some file systems to store
  };
  const std::string url = "https://example.org/a";
  const std::string huge(fw::kMaxRecordValue + 1, 'e');
  const Case cases[] = {
      {"nothing", {}},
      {"no fetched", {{kUrl, url}}},
      {"no url", {{kFetched, "100"}}},
      {"empty url", {{kUrl, ""}, {kFetched, "100"}}},
      {"empty fetched", {{kUrl, url}, {kFetched, ""}}},
      {"fetched with letters", {{kUrl, url}, {kFetched, "12a"}}},
      {"fetched negative", {{kUrl, url}, {kFetched, "-5"}}},
      {"fetched with a plus", {{kUrl, url}, {kFetched, "+5"}}},
      {"fetched with a space", {{kUrl, url}, {kFetched, " 5"}}},
      {"fetched beyond 63 bits", {{kUrl, url}, {kFetched, "9223372036854775808"}}},
      {"NUL in the url", {{kUrl, std::string("https://a\0b", 11)}, {kFetched, "1"}}},
      {"line break in the etag", {{kUrl, url}, {kFetched, "1"}, {kEtag, "\"x\"\r\nX: y"}}},
      {"tab in last-modified", {{kUrl, url}, {kFetched, "1"}, {kLastModified, "a\tb"}}},
      {"oversized etag", {{kUrl, url}, {kFetched, "1"}, {kEtag, huge}}, true},
      {"oversized url", {{kUrl, url + huge}, {kFetched, "1"}}, true},
  };
  // ext4 keeps only about a block of attributes per file; tmpfs (/dev/shm)
  // takes larger ones, so oversized values are tried there too.
  std::vector<std::string> folders{dir_->Path()};
  std::unique_ptr<fwtest::TempFolder> shm;
  try {
    fwtest::ScopedEnv env("TMPDIR", "/dev/shm");
    shm = std::make_unique<fwtest::TempFolder>();
    folders.push_back(shm->Path());
  } catch (const std::exception&) {
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string refusal;
    for (const std::string& folder : folders) {
      const std::string path = folder + "/file";
      fwtest::WriteFile(path, "x");
      bool stored = true;
      for (const auto& [name, value] : c.attributes) {
        if (stored && setxattr(path.c_str(), name, value.data(), value.size(), 0) != 0) {
          refusal += " " + folder + ": " + std::strerror(errno);
          stored = false;
        }
      }
      if (stored) {
        EXPECT_FALSE(fw::ReadRecord(path).has_value()) << folder;
      }
      ASSERT_EQ(unlink(path.c_str()), 0);
      if (stored) break;
    }
    if (!refusal.empty()) {
      std::cout << "[  NOTE    ] " << c.what << " refused by" << refusal << "\n";
      EXPECT_TRUE(c.mayBeRefused) << "a small value must be stored where user attributes are";
    }
  }
}

TEST_F(RecordsTest, OnlyRegularFilesThemselvesHaveRecords) {
  const fw::SnapshotRecord record{"https://example.org/a", 7, "", ""};
  ASSERT_TRUE(fw::WriteRecord(NewFile("real"), record, "real"));
  ASSERT_EQ(symlink("real", Path("link").c_str()), 0);
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0700), 0);
  const std::string fetched = "7";
  ASSERT_EQ(setxattr(Path("folder").c_str(), kUrl, record.url.data(), record.url.size(), 0), 0);
  ASSERT_EQ(setxattr(Path("folder").c_str(), kFetched, fetched.data(), fetched.size(), 0), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);

  EXPECT_TRUE(fw::ReadRecord(Path("real")).has_value());
  EXPECT_FALSE(fw::ReadRecord(Path("link")).has_value()) << "a link is not followed";
  EXPECT_FALSE(fw::ReadRecord(Path("folder")).has_value());
  EXPECT_FALSE(fw::ReadRecord(Path("fifo")).has_value()) << "and is not blocked on";
  EXPECT_FALSE(fw::ReadRecord(Path("missing")).has_value());

  // Read by folder and name, the file read is the one fstat described.
  const int folderFd = open(dir_->Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folderFd, 0);
  fds_.push_back(folderFd);
  struct stat info {};
  struct stat real {};
  ASSERT_TRUE(fw::ReadRecordAt(folderFd, "real", &info).has_value());
  ASSERT_EQ(stat(Path("real").c_str(), &real), 0);
  EXPECT_EQ(info.st_ino, real.st_ino);
  EXPECT_FALSE(fw::ReadRecordAt(folderFd, "link").has_value());
}

TEST_F(RecordsTest, WriteRefusesWhatCouldNotBeReadBackAndNamesTheFile) {
  const std::string url = "https://example.org/a";
  const fw::SnapshotRecord refused[] = {
      {"", 1, "", ""},
      {url, -1, "", ""},
      {url, 1, "\"x\"\nSet-Cookie: y", ""},
      {url, 1, "", std::string(fw::kMaxRecordValue + 1, 'd')},
      {url + "\x7f", 1, "", ""},
  };
  const int fd = NewFile("file");
  for (const auto& record : refused) {
    SCOPED_TRACE(record.url + " " + std::to_string(record.fetched));
    fw::Error e = ExpectError(fw::kInvalidArgument,
                              [&] { fw::WriteRecord(fd, record, "the file named file"); });
    EXPECT_NE(e.Description().find("the file named file"), std::string::npos) << e.Description();
    EXPECT_FALSE(HasAttribute(Path("file"), kUrl)) << "nothing written";
  }

  fw::Error e = ExpectError(fw::kFileAccess, [&] {
    fw::WriteRecord(-1, {url, 1, "", ""}, "the file named nothing");
  });
  EXPECT_NE(e.Description().find("the file named nothing"), std::string::npos);
  EXPECT_NE(e.Description().find(std::strerror(EBADF)), std::string::npos) << e.Description();
}

TEST_F(RecordsTest, ProbingAFolderThatSupportsRecordsLeavesNothing) {
  EXPECT_TRUE(fw::SupportsRecords(dir_->Path()));
  EXPECT_TRUE(dir_->Entries().empty());
  EXPECT_TRUE(fw::SupportsRecords(*dir_ / "missing")) << "unknown counts as supported";
}

// What WriteRecord, SupportsRecords and ReadRecord answer on a file system
// without user extended attributes, as a line "write=... supports=... read=...".
std::string AnswersWithoutAttributes(const std::string& folder, int fd) {
  std::string line = "write=";
  try {
    line +=
        fw::WriteRecord(fd, {"https://example.org/a", 1, "\"e\"", ""}, "probe") ? "true" : "false";
  } catch (const fw::Error& e) {
    line += "error(" + e.Description() + ")";
  }
  line += std::string(" supports=") + (fw::SupportsRecords(folder) ? "true" : "false");
  return line;
}

TEST(RecordsWithoutAttributesTest, ProcSaysUnsupported) {
  // /proc stores no extended attributes, and its files are regular and ours.
  const int fd = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /proc/self/comm: " << std::strerror(errno);
  if (fsetxattr(fd, "user.probe", "1", 1, 0) == 0 || errno != EOPNOTSUPP) {
    const int err = errno;
    close(fd);
    GTEST_SKIP() << "/proc does not answer \"not supported\" here: " << std::strerror(err);
  }
  EXPECT_EQ(AnswersWithoutAttributes("/proc", fd), "write=false supports=false");
  EXPECT_FALSE(fw::ReadRecord("/proc/self/comm").has_value());
  close(fd);
}

TEST(RecordsWithoutAttributesTest, WritableFolderOnRamfs) {
  // ramfs has no extended attributes at all. Mounting it needs a mount
  // namespace of our own, made in a child process so this one is untouched.
  fwtest::TempFolder dir;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    std::string answer;
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", dir.Path().c_str(), "ramfs", 0, "mode=0700") != 0) {
      answer = std::string("skip: cannot mount ramfs: ") + std::strerror(errno);
    } else {
      const std::string file = dir / "snapshot";
      const int fd = open(file.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
      answer = AnswersWithoutAttributes(dir.Path(), fd);
      answer += std::string(" read=") + (fw::ReadRecord(file) ? "some" : "none");
    }
    (void)!write(pipeFds[1], answer.data(), answer.size());
    _exit(0);
  }
  close(pipeFds[1]);
  std::string answer;
  char buffer[512];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
    answer.append(buffer, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << answer;
  if (answer.rfind("skip:", 0) == 0) GTEST_SKIP() << answer;
  EXPECT_EQ(answer, "write=false supports=false read=none");
}

}  // namespace
