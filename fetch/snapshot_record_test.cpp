#include "fetch/snapshot_record.h"

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

constexpr char kUrl[] = "user.fetchwell.url";
constexpr char kFetched[] = "user.fetchwell.fetched";
constexpr char kEtag[] = "user.fetchwell.etag";
constexpr char kLastModified[] = "user.fetchwell.last-modified";
constexpr char kRecord[] = "user.fetchwell";

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
  void SetRaw(const std::string& name, const char* attribute, const std::string& value) {
    ASSERT_EQ(setxattr(Path(name).c_str(), attribute, value.data(), value.size(), 0), 0)
        << attribute << ": " << std::strerror(errno);
  }

  void TearDown() override {
    for (int fd : fds_) close(fd);
  }

  std::unique_ptr<fwtest::TempFolder> dir_;
  std::vector<int> fds_;
};

fw::SnapshotRecord Record(const std::string& url, const std::string& etag = "",
                          const std::string& lastModified = "") {
  fw::SnapshotRecord r;
  r.name = "report-2026-12-08.pdf";
  r.size = 8;
  r.hash = "0123456789abcdef0123456789abcdef";
  r.fetched = 1796464800;
  r.etag = etag;
  r.lastModified = lastModified;
  r.url = url;
  return r;
}

void ExpectSameRecord(const std::optional<fw::SnapshotRecord>& got,
                      const fw::SnapshotRecord& want) {
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->name, want.name);
  EXPECT_EQ(got->size, want.size);
  EXPECT_EQ(got->hash, want.hash);
  EXPECT_EQ(got->fetched, want.fetched);
  EXPECT_EQ(got->etag, want.etag);
  EXPECT_EQ(got->lastModified, want.lastModified);
  EXPECT_EQ(got->url, want.url);
  EXPECT_TRUE(got->Names(want.url));
}

TEST_F(RecordsTest, RecordsReadBackAsWrittenInOneAttribute) {
  fw::SnapshotRecord odd = Record("ftp://example.org/a b/caf\xc3\xa9.txt", "W/\"x\"");
  odd.name = "100%-\x01line\nbreak-2026.txt";  // a name a URL can give
  odd.fetched = INT64_MAX;
  const fw::SnapshotRecord records[] = {
      Record("https://example.org/report.pdf", "\"33a64df5\"", "Sun, 12 Jul 2026 06:00:00 GMT"),
      Record("https://example.org/report.pdf"),
      odd,
  };
  for (const auto& record : records) {
    SCOPED_TRACE(record.url + " etag=" + record.etag);
    const fw::RecordOutcome outcome = fw::WriteRecord(NewFile("snapshot"), record);
    ASSERT_TRUE(outcome.kept) << outcome.why;
    ExpectSameRecord(fw::ReadRecord(Path("snapshot")), record);
    EXPECT_FALSE(fw::ReadRecord(Path("snapshot"))->Old());
    EXPECT_FALSE(fw::ReadRecord(Path("snapshot"))->Names(record.url + "x"));
    ASSERT_EQ(unlink(Path("snapshot").c_str()), 0);
  }
  // One attribute: a copy of a file with four could not mix old and new.
  char names[1024];
  const ssize_t n = fgetxattr(NewFile("one"), kRecord, nullptr, 0);
  EXPECT_LT(n, 0);
  ASSERT_TRUE(fw::WriteRecord(fds_.back(), records[0]).kept);
  const ssize_t listed = listxattr(Path("one").c_str(), names, sizeof names);
  EXPECT_EQ(std::string(names, static_cast<size_t>(listed)), std::string(kRecord) + '\0');
}

TEST_F(RecordsTest, LongValuesNeverKeepTheRecordFromBeingSet) {
  // Over the limit a URL is kept as its SHA-256 at once.
  const std::string longUrl = "https://example.org/q?" + std::string(9000, 'a');
  ASSERT_TRUE(fw::WriteRecord(NewFile("long"), Record(longUrl, "\"e\"")).kept);
  auto read = fw::ReadRecord(Path("long"));
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->url.empty());
  EXPECT_EQ(read->urlSha256.size(), 64u);
  EXPECT_TRUE(read->Names(longUrl));
  EXPECT_FALSE(read->Names(longUrl + "b"));
  EXPECT_EQ(read->etag, "\"e\"");

  // Near the limit, with long validators, the whole record fills more than an
  // ext4 block: a smaller record is set instead, never none. Validators too
  // long to send back are left out.
  const std::string nearUrl = "https://example.org/q?" + std::string(2000, 'b');
  const std::string etag = "\"" + std::string(1000, 'e') + "\"";
  const std::string lm(1020, 'l');
  ASSERT_TRUE(fw::WriteRecord(NewFile("near"), Record(nearUrl, etag, lm)).kept);
  read = fw::ReadRecord(Path("near"));
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->Names(nearUrl));
  EXPECT_EQ(read->hash, Record("").hash);
  ASSERT_TRUE(fw::WriteRecord(NewFile("huge-etag"), Record(nearUrl, std::string(5000, 'e'))).kept);
  EXPECT_EQ(fw::ReadRecord(Path("huge-etag"))->etag, "");
}

TEST_F(RecordsTest, OldRecordsReadAsRecordsWithoutNameOrHash) {
  NewFile("old");
  SetRaw("old", kUrl, "https://example.org/a");
  SetRaw("old", kFetched, "100");
  SetRaw("old", kEtag, "\"v1\"");
  auto read = fw::ReadRecord(Path("old"));
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(read->Old());
  EXPECT_TRUE(read->Names("https://example.org/a"));
  EXPECT_EQ(read->fetched, 100);
  EXPECT_EQ(read->etag, "\"v1\"");
  // A new record on the same file wins over the old attributes.
  ASSERT_TRUE(fw::WriteRecord(fds_.back(), Record("https://example.org/b")).kept);
  EXPECT_TRUE(fw::ReadRecord(Path("old"))->Names("https://example.org/b"));
}

TEST_F(RecordsTest, MalformedRecordsAreNoRecords) {
  const std::string url = "https://example.org/a";
  const std::string good =
      "v=1\nname=a-1.txt\nsize=3\nxxh128=0123456789abcdef0123456789abcdef\n"
      "fetched=5\nurl=" +
      url + "\n";
  struct Case {
    const char* what;
    std::string record;
  } const cases[] = {
      {"no version", good.substr(4)},
      {"another version", "v=2\n" + good.substr(4)},
      {"no line end", good.substr(0, good.size() - 1)},
      {"no name", "v=1\nsize=3\nxxh128=0123456789abcdef0123456789abcdef\nfetched=5\nurl=u\n"},
      {"short hash", "v=1\nname=a\nsize=3\nxxh128=0123\nfetched=5\nurl=u\n"},
      {"signed size",
       "v=1\nname=a\nsize=+3\nxxh128=0123456789abcdef0123456789abcdef\nfetched=5\nurl=u\n"},
      {"no url", "v=1\nname=a\nsize=3\nxxh128=0123456789abcdef0123456789abcdef\nfetched=5\n"},
      {"two urls", good + "url-sha256=" + std::string(64, 'a') + "\n"},
      {"bad escape",
       "v=1\nname=a%zz\nsize=3\nxxh128=0123456789abcdef0123456789abcdef\nfetched=5\nurl=u\n"},
      {"line without =", good + "junk\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NewFile("file");
    SetRaw("file", kRecord, c.record);
    EXPECT_FALSE(fw::ReadRecord(Path("file")).has_value());
    ASSERT_EQ(unlink(Path("file").c_str()), 0);
  }
  // Old records: a malformed one is none.
  const std::vector<std::pair<const char*, std::string>> old[] = {
      {{kUrl, url}},
      {{kFetched, "100"}},
      {{kUrl, url}, {kFetched, "12a"}},
      {{kUrl, url}, {kFetched, "1"}, {kEtag, "\"x\"\r\nX: y"}},
      {{kUrl, url}, {kFetched, "1"}, {kLastModified, "a\tb"}},
  };
  for (const auto& attributes : old) {
    NewFile("file");
    for (const auto& [name, value] : attributes) SetRaw("file", name, value);
    EXPECT_FALSE(fw::ReadRecord(Path("file")).has_value()) << attributes.front().second;
    ASSERT_EQ(unlink(Path("file").c_str()), 0);
  }
  NewFile("file");
  SetRaw("file", kRecord, good);
  EXPECT_TRUE(fw::ReadRecord(Path("file")).has_value()) << "the well-formed one reads";
}

TEST_F(RecordsTest, OnlyRegularFilesThemselvesHaveRecords) {
  ASSERT_TRUE(fw::WriteRecord(NewFile("real"), Record("https://example.org/a")).kept);
  ASSERT_EQ(symlink("real", Path("link").c_str()), 0);
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);

  EXPECT_TRUE(fw::ReadRecord(Path("real")).has_value());
  EXPECT_FALSE(fw::ReadRecord(Path("link")).has_value()) << "a link is not followed";
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

TEST_F(RecordsTest, ProbingAFolderThatSupportsRecordsLeavesNothing) {
  EXPECT_TRUE(fw::SupportsRecords(dir_->Path()));
  EXPECT_TRUE(dir_->Entries().empty());
  EXPECT_TRUE(fw::SupportsRecords(*dir_ / "missing")) << "unknown counts as supported";
}

// What WriteRecord, SupportsRecords and ReadRecord answer on a file system
// without user extended attributes, as a line "write=... supports=... read=...".
std::string AnswersWithoutAttributes(const std::string& folder, int fd) {
  const fw::RecordOutcome outcome = fw::WriteRecord(fd, Record("https://example.org/a", "\"e\""));
  std::string line = std::string("write=") + (outcome.kept ? "true" : "false") +
                     (outcome.unsupported ? " unsupported" : "");
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
  EXPECT_EQ(AnswersWithoutAttributes("/proc", fd), "write=false unsupported supports=false");
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
  EXPECT_EQ(answer, "write=false unsupported supports=false read=none");
}

}  // namespace
