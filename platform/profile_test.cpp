#include "platform/profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/scoped_env.h"
#include "tests/fixtures/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
namespace profile = fw::profile;
using fwtest::ReadFile;
using fwtest::WriteFile;

class ProfileTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::permissions(dir_.Path(), fs::perms::owner_all); }

  std::string Get(const std::string& section, const std::string& key) const {
    return profile::GetPrivateProfileString(section, key, "<none>", path_);
  }
  // The section contents as the list of its NUL-ended entries.
  std::vector<std::string> Section(const std::string& section, size_t size = 2048) const {
    std::string buffer(size, ' ');
    size_t n = profile::GetPrivateProfileSection(section, buffer.data(), size, path_);
    return Split(buffer, n);
  }
  std::vector<std::string> Names() const {
    std::string buffer(1024, ' ');
    return Split(buffer, profile::GetPrivateProfileSectionNames(buffer.data(), 1024, path_));
  }
  static std::vector<std::string> Split(const std::string& buffer, size_t n) {
    EXPECT_LT(n, buffer.size());
    EXPECT_EQ(buffer[n], '\0') << "the final NUL";
    std::vector<std::string> items;
    for (size_t start = 0; start < n;) {
      size_t nul = buffer.find('\0', start);
      items.push_back(buffer.substr(start, nul - start));
      start = nul + 1;
    }
    return items;
  }
  fwtest::TempFolder dir_;
  const std::string path_ = dir_ / "Settings.inf";
};

using Entries = std::vector<std::string>;

TEST_F(ProfileTest, ReadsValuesOrTheDefault) {
  EXPECT_EQ(Get("General", "FolderPath"), "<none>") << "missing file";
  WriteFile(path_,
            "Stray=above every section\n"
            "[General]\n"
            "  FolderPath  =   /srv/snap shots  \n"
            "; Comment=not a key\n"
            "# Hash=not a key either\n"
            "folderpath=second of the name\n"
            "Empty=\n"
            "Bare\n"
            "\n"
            "[ Other Section ]  \n"
            "a = b = c\n"
            "[general]\n"
            "Late=a second General section does not count\n");
  EXPECT_EQ(Get("general", "FOLDERPATH"), "/srv/snap shots");
  EXPECT_EQ(Get("General", "Empty"), "");
  EXPECT_EQ(Get("General", "Bare"), "");
  EXPECT_EQ(Get("other section", "A"), "b = c");
  EXPECT_EQ(Get("General", "Missing"), "<none>");
  EXPECT_EQ(Get("Missing", "FolderPath"), "<none>");
  EXPECT_EQ(Get("General", "Stray"), "<none>");
  EXPECT_EQ(Get("General", "; Comment"), "<none>");
  EXPECT_EQ(Get("General", "Late"), "<none>");

  EXPECT_EQ(Section("GENERAL"), (Entries{"FolderPath=/srv/snap shots",
                                         "folderpath=second of the name", "Empty=", "Bare"}));
  EXPECT_EQ(Names(), (Entries{"General", "Other Section"}));
}

TEST_F(ProfileTest, WriteChangesOnlyItsOwnLine) {
  // A byte order mark, CRLF ends throughout, a last line without an end,
  // comments, spacing.
  WriteFile(path_,
            "\xEF\xBB\xBF[general]\r\n"
            "  folderpath = /old/place\r\n"
            "; keep me\r\n"
            "Other=1\r\n"
            "\r\n"
            "\r\n"
            "; about Download\r\n"
            "[Download]\r\n"
            "StallTimeout=9");
  EXPECT_EQ(Get("General", "FolderPath"), "/old/place");
  ASSERT_NE(profile::WritePrivateProfileString("General", "FolderPath", "/new/place", path_), 0);
  ASSERT_NE(profile::WritePrivateProfileString("General", "Added", "yes", path_), 0);
  ASSERT_NE(profile::WritePrivateProfileString("Download", "ConnectTimeout", "3", path_), 0);
  ASSERT_NE(profile::WritePrivateProfileString("Empty", "Key", "v", path_), 0);
  EXPECT_EQ(ReadFile(path_),
            "\xEF\xBB\xBF[general]\r\n"
            "  folderpath = /new/place\r\n"
            "; keep me\r\n"
            "Other=1\r\n"
            "Added=yes\r\n"
            "\r\n"
            "\r\n"
            "; about Download\r\n"
            "[Download]\r\n"
            "StallTimeout=9\r\n"
            "ConnectTimeout=3\r\n"
            "\r\n"
            "[Empty]\r\n"
            "Key=v\r\n");
  EXPECT_EQ(Get("GENERAL", "folderPATH"), "/new/place");
}

TEST_F(ProfileTest, SectionBuffersHoldWholeEntries) {
  WriteFile(path_, "[A]\nx=1\nyy=22\n[B]\n");
  std::string buffer(16, ' ');
  EXPECT_EQ(profile::GetPrivateProfileSection("A", buffer.data(), buffer.size(), path_), 10u);
  EXPECT_EQ(buffer, "x=1\0yy=22\0\0     "s);

  // Room for "x=1" but not "yy=22": the entry is left out, not cut.
  buffer.assign(10, ' ');
  EXPECT_EQ(profile::GetPrivateProfileSection("A", buffer.data(), buffer.size(), path_), 4u);
  EXPECT_EQ(buffer, "x=1\0\0     "s);

  buffer.assign(4, ' ');
  EXPECT_EQ(profile::GetPrivateProfileSection("B", buffer.data(), buffer.size(), path_), 0u);
  EXPECT_EQ(buffer, "\0\0  "s) << "an empty section";
  EXPECT_EQ(profile::GetPrivateProfileSection("C", buffer.data(), buffer.size(), path_), 0u);
  EXPECT_EQ(profile::GetPrivateProfileSection("A", buffer.data(), 0, path_), 0u);

  buffer.assign(8, ' ');
  EXPECT_EQ(profile::GetPrivateProfileSectionNames(buffer.data(), buffer.size(), path_), 4u);
  EXPECT_EQ(buffer, "A\0B\0\0   "s);
}

TEST_F(ProfileTest, WriteSectionReplacesItsEntries) {
  WriteFile(path_, "[A]\n; note\nx=1\ny=2\n\n[B]\nz=3\n");
  ASSERT_NE(profile::WritePrivateProfileSection("a", "p=7\0q = 8\0\0"s, path_), 0);
  ASSERT_NE(profile::WritePrivateProfileSection("C", "last=9"s, path_), 0);
  EXPECT_EQ(ReadFile(path_), "[A]\n; note\np=7\nq = 8\n\n[B]\nz=3\n\n[C]\nlast=9\n");
  EXPECT_EQ(Section("A"), (Entries{"p=7", "q=8"}));
  ASSERT_NE(profile::WritePrivateProfileSection("A", ""s, path_), 0);
  EXPECT_EQ(Section("A"), Entries{});
  EXPECT_EQ(Names(), (Entries{"A", "B", "C"}));
}

TEST_F(ProfileTest, WritesThatCouldNotBeReadBackAreRefused) {
  const std::string before = "[General]\nFolderPath=/srv\n";
  WriteFile(path_, before);
  EXPECT_EQ(profile::WritePrivateProfileString("General", "FolderPath", "/x\n[Evil]\nk=v", path_),
            0);
  EXPECT_EQ(profile::WritePrivateProfileString("General", "FolderPath", "/x\r", path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileString("General", "Folder=Path", "/x", path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileString("General", " ", "/x", path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileString("General", "[Key]", "/x", path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileString("Gen\neral", "Key", "/x", path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileString("General", "Key", "a\0b"s, path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileSection("General", "a=1\0[Evil]\0\0"s, path_), 0);
  EXPECT_EQ(profile::WritePrivateProfileSection("General", "a=1\nb=2\0\0"s, path_), 0);
  EXPECT_EQ(ReadFile(path_), before);
}

// Runs `write` in a child process that, when the tests run as root, becomes an
// ordinary user, so that permissions hold for it. The child's exit status: the
// write's result, or 99 when it could not read `readable`.
int WriteAsOrdinaryUser(const std::string& readable, int (*write)(const std::string&),
                        const std::string& path) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(98);
    if (access(readable.c_str(), R_OK) != 0) _exit(99);
    _exit(write(path) != 0 ? 1 : 0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int WriteNewValue(const std::string& path) {
  return profile::WritePrivateProfileString("S", "K", "new", path);
}

TEST_F(ProfileTest, FailedWritesReturnZeroAndKeepTheFile) {
  EXPECT_EQ(WriteNewValue(dir_ / "missing/Settings.inf"), 0) << "a missing folder";
  EXPECT_EQ(WriteNewValue(dir_.Path()), 0) << "a folder";
  EXPECT_EQ(WriteNewValue(""), 0);

  const std::string before = "[S]\nK=old\n";
  const std::string locked = dir_ / "locked.inf";
  WriteFile(locked, before);
  WriteFile(path_, before);
  chmod(locked.c_str(), 0444);
  chmod(path_.c_str(), 0644);
  chmod(dir_.Path().c_str(), 0777);
  EXPECT_EQ(WriteAsOrdinaryUser(locked, WriteNewValue, locked), 0) << "a write-protected file";
  chmod(dir_.Path().c_str(), 0555);
  EXPECT_EQ(WriteAsOrdinaryUser(path_, WriteNewValue, path_), 0) << "a read-only folder";
  EXPECT_EQ(ReadFile(locked), before);
  EXPECT_EQ(ReadFile(path_), before);
  EXPECT_EQ(dir_.Entries().size(), 2u) << "no temporary file is left";
}

TEST_F(ProfileTest, ValuesAreEditedAndRemovedInOneWriteKeepingOtherBytes) {
  const std::string before =
      "Stray\r\n[Download]\r\n ; note\r\nRetries = 1 \r\nretries=3\r\nKeep=x\r\n"
      "[download]\r\nRetries=4\r\n[General]\r\nFolderPath=/a";
  WriteFile(path_, before);
  const std::vector<profile::ProfileEdit> edits = {{"download", "RETRIES", std::nullopt},
                                                   {"General", "FolderPath", "/b"},
                                                   {"Download", "New", "v"}};
  EXPECT_NE(profile::WritePrivateProfileValues(edits, path_), 0);
  EXPECT_EQ(ReadFile(path_),
            "Stray\r\n[Download]\r\n ; note\r\nKeep=x\r\nNew=v\r\n[download]\r\nRetries=4\r\n"
            "[General]\r\nFolderPath=/b");
  const auto layout = profile::GetPrivateProfileLayout(path_);
  ASSERT_EQ(layout.size(), 4u);
  EXPECT_FALSE(layout[0].headed);
  using Entry = fw::profile::SectionLayout::Entry;
  EXPECT_EQ(layout[0].entries, (std::vector<Entry>{{"Stray", false}}));
  EXPECT_EQ(layout[2].name, "download");
  EXPECT_EQ(layout[1].entries, (std::vector<Entry>{{"Keep", true}, {"New", true}}));
  // A line that could not be read back refuses the whole write.
  EXPECT_EQ(profile::WritePrivateProfileValues(
                {{"General", "FolderPath", "/c"}, {"Download", "New", "a\nb"}}, path_),
            0);
  EXPECT_NE(ReadFile(path_).find("FolderPath=/b"), std::string::npos);
  // Removing what is not there writes nothing and makes no file.
  const std::string missing = dir_ / "missing.inf";
  EXPECT_NE(profile::WritePrivateProfileValues({{"Download", "Retries", std::nullopt}}, missing),
            0);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(ProfileTest, ValueWithANulReadsUpToTheNul) {
  WriteFile(path_, "[A]\nk=ab\0cd\nj=2\n"s);
  EXPECT_EQ(Get("A", "k"), "ab");
  EXPECT_EQ(Section("A"), (Entries{"k=ab", "j=2"}));
}

TEST_F(ProfileTest, OversizedFilesAreReadInPartAndNeverRewritten) {
  std::string bytes = "[A]\nk=v\n" + std::string(5 << 20, 'x') + "\n[B]\nk=w\n";
  WriteFile(path_, bytes);
  EXPECT_EQ(Get("A", "k"), "v");
  EXPECT_EQ(Get("B", "k"), "<none>") << "past the part read";
  EXPECT_EQ(profile::WritePrivateProfileString("A", "k", "new", path_), 0);
  EXPECT_EQ(ReadFile(path_), bytes);
}

// The system-wide profile's folder is made private; without a usable
// XDG_CONFIG_HOME it is under the home folder.
TEST_F(ProfileTest, UserProfileLivesInTheConfigFolder) {
  {
    fwtest::ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "config").c_str());
    ASSERT_NE(profile::WriteProfileString("General", "FolderPath", "/srv/x"), 0);
    EXPECT_EQ(fs::status(dir_ / "config/fetchwell").permissions() & fs::perms::all,
              fs::perms::owner_all);
  }
  fwtest::ScopedEnv home("HOME", (dir_ / "home").c_str());
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/config"}) {
    fwtest::ScopedEnv unset("XDG_CONFIG_HOME", xdg);
    EXPECT_EQ(profile::UserProfilePath(), dir_ / "home/.config/fetchwell/profile.ini");
  }
}

}  // namespace
