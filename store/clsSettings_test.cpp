#include "store/clsSettings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/scoped_env.h"
#include "tests/fixtures/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using fwtest::ReadFile;
using fwtest::WriteFile;
using Names = std::vector<std::string>;

class ClsSettingsTest : public ::testing::Test {
 protected:
  // Assigns Path, expecting error 53 for `value`; Path must keep `kept`.
  static void ExpectNotFound(clsSettings& settings, const std::string& value,
                             const std::string& kept) {
    fw::Error e = fwtest::ExpectError(53, [&] { settings.Path(value); });
    EXPECT_EQ(e.Description(), "File not found: " + value);
    EXPECT_EQ(settings.Path(), kept);
  }

  fwtest::TempFolder dir_;
  const std::string path_ = dir_ / "Settings.inf";
};

TEST_F(ClsSettingsTest, NewInstanceAndPathReadSwitchBackToPrivate) {
  clsSettings settings;
  EXPECT_TRUE(settings.PrivateINI());
  EXPECT_EQ(settings.Path(), "");
  settings.PrivateINI(false);
  EXPECT_FALSE(settings.PrivateINI());
  settings.Path();
  EXPECT_TRUE(settings.PrivateINI());
}

TEST_F(ClsSettingsTest, FirstAssignmentSucceedsInAnEmptyCurrentFolder) {
  fs::path previous = fs::current_path();
  fs::current_path(dir_.Path());
  clsSettings settings;
  settings.PrivateINI(false);
  EXPECT_NO_THROW(settings.Path("Settings.inf"));
  fs::current_path(previous);
  EXPECT_EQ(settings.Path(), "Settings.inf");
  EXPECT_TRUE(settings.PrivateINI());
}

TEST_F(ClsSettingsTest, LaterAssignmentTestsTheOldFile) {
  clsSettings settings;
  const std::string other = dir_ / "Other.inf";
  settings.Path(path_);
  ExpectNotFound(settings, other, path_);  // the old file does not exist yet

  fs::create_directory(path_);
  ExpectNotFound(settings, other, path_);  // a folder never counts
  fs::remove(path_);

  WriteFile(path_, "");
  settings.PrivateINI(false);
  settings.Path(other);  // succeeds although Other.inf does not exist
  EXPECT_EQ(settings.Path(), other);
  EXPECT_TRUE(settings.PrivateINI());

  fs::create_symlink(path_, other);  // a file through a link counts
  EXPECT_NO_THROW(settings.Path(path_));
}

TEST_F(ClsSettingsTest, GetStringGivesTheDefaultOrTheWholeStoredValue) {
  clsSettings settings;
  settings.Path(path_);
  EXPECT_EQ(settings.GetString("General", "FolderPath", "/opt/prog"), "/opt/prog");
  EXPECT_NE(settings.WriteString("General", "FolderPath", "/srv/downloads"), 0);
  EXPECT_EQ(settings.GetString("General", "FolderPath", "/opt/prog"), "/srv/downloads");
  EXPECT_EQ(settings.GetString("General", "Other", "/opt/prog"), "/opt/prog");

  std::string long_value(300, 'v');
  long_value.front() = '/';
  long_value.back() = 'z';
  EXPECT_NE(settings.WriteString("General", "Long", long_value), 0);
  EXPECT_EQ(settings.GetString("General", "Long", ""), long_value);
  EXPECT_EQ(ReadFile(path_), "[General]\nFolderPath=/srv/downloads\nLong=" + long_value + "\n");

  clsSettings nowhere;
  nowhere.Path(dir_ / "missing/Settings.inf");
  EXPECT_EQ(nowhere.WriteString("General", "FolderPath", "/srv"), 0);
}

TEST_F(ClsSettingsTest, SectionOperations) {
  WriteFile(path_, "[A]\nx=1\ny=2\n[B]\n");
  clsSettings settings;
  settings.Path(path_);
  EXPECT_EQ(settings.GetSectionNames(), (Names{"A", "B", ""}));

  std::string contents = settings.GetSectionContents("A");
  ASSERT_EQ(contents.size(), 2048u);
  EXPECT_EQ(contents.substr(0, 9), "x=1\0y=2\0\0"s);
  EXPECT_EQ(contents.find_first_not_of(' ', 9), std::string::npos) << "then spaces";
  EXPECT_EQ(settings.GetKeysInSection("A"), (Names{"x", "y"}));

  EXPECT_EQ(settings.GetSectionContents("B"), "");
  EXPECT_EQ(settings.GetSectionContents("C"), "");
  EXPECT_EQ(settings.GetKeysInSection("C"), Names{});

  // A line without "=" gives the whole line as its key.
  EXPECT_NE(settings.WriteSection("B", "loose line\0k=v=w\0\0"s), 0);
  EXPECT_EQ(settings.GetKeysInSection("b"), (Names{"loose line", "k"}));
  EXPECT_EQ(ReadFile(path_), "[A]\nx=1\ny=2\n[B]\nloose line\nk=v=w\n");

  WriteFile(path_, "; no sections\nx=1\n");
  EXPECT_EQ(settings.GetSectionNames(), Names{});
}

TEST_F(ClsSettingsTest, SystemWideProfileWhenNotPrivate) {
  fwtest::ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "config").c_str());

  clsSettings settings;
  settings.Path(path_);
  settings.PrivateINI(false);
  EXPECT_NE(settings.WriteString("General", "FolderPath", "/srv/shared"), 0);
  EXPECT_EQ(settings.GetString("General", "FolderPath", "none"), "/srv/shared");
  EXPECT_NE(settings.WriteSection("S", "a=1\0\0"s), 0);
  EXPECT_EQ(settings.GetKeysInSection("S"), Names{"a"});
  EXPECT_EQ(settings.GetSectionNames(), std::nullopt);
  EXPECT_EQ(ReadFile(dir_ / "config/fetchwell/profile.ini"),
            "[General]\nFolderPath=/srv/shared\n\n[S]\na=1\n");
  EXPECT_FALSE(fs::exists(path_)) << "the private file is untouched";

  settings.Path();  // back to the private file
  EXPECT_EQ(settings.GetString("General", "FolderPath", "none"), "none");
  EXPECT_EQ(settings.GetSectionNames(), Names{});
}

}  // namespace
