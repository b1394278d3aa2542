#include "ui/frmMain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/error.h"
#include "startup/run_observer.h"
#include "store/memory_list_display.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::string>;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// The date text a run stamps files with, made the way the program makes it.
std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buf[256];
  std::string date(buf, std::strftime(buf, sizeof buf, "%x", &local));
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

class TextField : public TextBox {
 public:
  std::string Text() const override { return text; }
  void SetText(const std::string& t) override { text = t; }
  std::string text;
};

// Each test gets its own program folder and a window object that does not exist yet.
class FrmMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/fetchwell-form-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    frmMain::UseProgramFolder(dir_.string());
    frmMain::Unload();
  }
  void TearDown() override {
    frmMain::Unload();
    frmMain::UseProgramFolder("");
    fs::remove_all(dir_);
  }

  frmMain& Loaded() {
    frmMain& form = frmMain::Instance();
    form.LoadData();
    return form;
  }
  static Rows Shown(frmMain& form) {
    return dynamic_cast<MemoryListDisplay&>(form.lstFiles()).rows;
  }
  static Rows Entries(frmMain& form) {
    Rows rows;
    for (int i = 0; i <= std::stoi(form.Files().Count()); ++i) rows.push_back(form.Files().File(i));
    return rows;
  }
  frmMain& WithEntries(const Rows& entries) {
    frmMain& form = Loaded();
    form.Files().ClearAll();
    for (const auto& e : entries) form.Files().AddFile(e);
    form.Files().AddToList(form.lstFiles());
    return form;
  }

  fs::path dir_;
};

TEST_F(FrmMainTest, FirstStartCreatesAnEmptyListAndNoSettings) {
  frmMain& form = Loaded();
  EXPECT_EQ(frmMain::ListFilePath(), (dir_ / "Files.dat").string());
  EXPECT_EQ(frmMain::SettingsFilePath(), (dir_ / "Settings.inf").string());
  EXPECT_TRUE(fs::exists(dir_ / "Files.dat"));
  EXPECT_EQ(fs::file_size(dir_ / "Files.dat"), 0u);
  EXPECT_FALSE(fs::exists(dir_ / "Settings.inf"));
  EXPECT_EQ(Shown(form), Rows{""});
  EXPECT_EQ(form.txtPath().Text(), dir_.string());
}

TEST_F(FrmMainTest, LoadTakesTheSavedFolderAndAnEmptyOneMeansTheProgramFolder) {
  WriteFile(dir_ / "Settings.inf", "[General]\nFolderPath=/srv/snapshots\n");
  EXPECT_EQ(Loaded().txtPath().Text(), "/srv/snapshots");
  frmMain::Unload();
  WriteFile(dir_ / "Settings.inf", "[General]\nFolderPath=\n");
  EXPECT_EQ(Loaded().txtPath().Text(), dir_.string());
}

TEST_F(FrmMainTest, AddAndRemoveFiles) {
  frmMain& form = WithEntries({"a", "b", "c", "d"});
  form.RemoveFiles({});
  EXPECT_EQ(Entries(form), (Rows{"a", "b", "c", "d"}));
  form.RemoveFiles({2, 1});
  EXPECT_EQ(Entries(form), (Rows{"a", "d"}));
  EXPECT_EQ(Shown(form), (Rows{"a", "d"}));

  // A row that is not there removes nothing, not even the rows that are.
  for (const std::vector<int>& rows : {std::vector<int>{0, 2}, {-1}}) {
    try {
      form.RemoveFiles(rows);
      FAIL() << "removed a row that is not there";
    } catch (const fw::Error& e) {
      EXPECT_EQ(e.Number(), fw::kSubscriptOutOfRange);
    }
    EXPECT_EQ(Entries(form), (Rows{"a", "d"}));
  }

  // Cancel gives the empty text: nothing is added, the display is refilled.
  dynamic_cast<MemoryListDisplay&>(form.lstFiles()).rows.clear();
  form.AddFile("");
  EXPECT_EQ(Shown(form), (Rows{"a", "d"}));
  form.AddFile("http://h/a.txt");
  form.AddFile("  ");
  EXPECT_EQ(Shown(form), (Rows{"a", "d", "http://h/a.txt", "  "}));
}

TEST_F(FrmMainTest, ClearAllThenSaveWritesAnEmptyList) {
  frmMain& form = WithEntries({"a", "b"});
  form.ClearAll();
  EXPECT_EQ(Shown(form), Rows{});
  form.Save();
  EXPECT_EQ(ReadFile(dir_ / "Files.dat"), "\xff\xff\xff\xff");
}

TEST_F(FrmMainTest, SavedStateLoadsBackTheSame) {
  frmMain& form = WithEntries({"http://h/a.pdf", "", "http://h/caf\xC3\xA9"});
  form.txtPath().SetText("/home/me/snapshots");
  form.Save();
  frmMain::Unload();

  frmMain& again = Loaded();
  EXPECT_EQ(Shown(again), (Rows{"http://h/a.pdf", "", "http://h/caf\xC3\xA9"}));
  EXPECT_EQ(again.txtPath().Text(), "/home/me/snapshots");
}

TEST_F(FrmMainTest, SaveThatCannotWriteTheSettingsFails) {
  frmMain& form = WithEntries({"x"});
  fs::create_directory(dir_ / "Settings.inf");
  try {
    form.Save();
    FAIL() << "a settings file that cannot be written was reported saved";
  } catch (const fw::Error& e) {
    EXPECT_EQ(e.Number(), fw::kFileAccess);
    EXPECT_NE(e.Description().find("Settings.inf"), std::string::npos) << e.Description();
  }
}

TEST_F(FrmMainTest, AttachedControlsTakeTheStateAndGiveItBack) {
  frmMain& form = WithEntries({"a", "b"});
  form.txtPath().SetText("/data");
  MemoryListDisplay list;
  TextField field;
  form.AttachControls(&list, &field);
  EXPECT_EQ(list.rows, (Rows{"a", "b"}));
  EXPECT_EQ(field.text, "/data");
  EXPECT_EQ(&form.txtPath(), &field);

  field.text = "/elsewhere";
  form.AddFile("c");
  EXPECT_EQ(list.rows, (Rows{"a", "b", "c"}));

  form.AttachControls(nullptr, nullptr);
  EXPECT_EQ(form.txtPath().Text(), "/elsewhere");
  EXPECT_EQ(Shown(form), (Rows{"a", "b", "c"}));
}

TEST_F(FrmMainTest, TimeLimitsComeFromTheSettingsOrTheirDefaults) {
  struct Case {
    const char* text;
    long connect, stall;
  };
  for (const Case& c : {Case{"", 30, 60}, Case{"ConnectTimeout=5\nStallTimeout=7\n", 5, 7},
                        Case{"ConnectTimeout=abc\nStallTimeout=0\n", 30, 60},
                        Case{"ConnectTimeout=-4\nStallTimeout=9x\n", 30, 60},
                        Case{"ConnectTimeout=99999999999999999999\n", 30, 60}}) {
    WriteFile(dir_ / "Settings.inf", std::string("[Download]\n") + c.text);
    const fw::DownloadLimits limits = Loaded().DownloadLimits();
    EXPECT_EQ(limits.connectTimeout, c.connect) << c.text;
    EXPECT_EQ(limits.stallTimeout, c.stall) << c.text;
    frmMain::Unload();
  }
}

// Records what a run tells its observer, and can move the folder during a run.
class Recorder : public RunObserver {
 public:
  void EntryStarted(int number, int count, const std::string& url,
                    const std::string& destination) override {
    events.push_back("start " + std::to_string(number) + "/" + std::to_string(count) + " " + url +
                     " -> " + destination);
    if (number == 1 && !moveTo.empty()) frmMain::Instance().txtPath().SetText(moveTo);
  }
  void EntryProgress(int64_t, int64_t) override {}
  void EntryFailed(const std::string& url, const std::string& reason) override {
    events.push_back("failed " + url + (reason.empty() ? " without a reason" : ""));
  }
  void RunEnded() override { events.push_back("end"); }

  Rows events;
  std::string moveTo;
};

TEST_F(FrmMainTest, RunFetchesEveryNonEmptyEntryToADatedName) {
  const fs::path src = dir_ / "src", first = dir_ / "first", later = dir_ / "later";
  for (const auto& d : {src, first, later}) fs::create_directory(d);
  WriteFile(src / "report.pdf", "pdf bytes");
  WriteFile(src / "a.tar.gz", "gz bytes");
  WriteFile(src / "README", "read me");
  const std::string u = "file://" + src.string() + "/";

  frmMain& form =
      WithEntries({"", u + "report.pdf", u + "missing.txt", "", u + "a.tar.gz", u + "README"});
  form.txtPath().SetText(first.string());
  Recorder recorder;
  recorder.moveTo = later.string();  // the folder text is read anew for each entry
  form.SetRunObserver(&recorder);
  EXPECT_EQ(form.DownloadFiles(), 1);
  form.SetRunObserver(nullptr);

  const std::string d = Today();
  const std::string pdf = (first / ("report-" + d + ".pdf")).string();
  EXPECT_EQ(
      recorder.events,
      (Rows{"start 1/4 " + u + "report.pdf -> " + pdf,
            "start 2/4 " + u + "missing.txt -> " + (later / ("missing-" + d + ".txt")).string(),
            "failed " + u + "missing.txt",
            "start 3/4 " + u + "a.tar.gz -> " + (later / ("a-" + d + ".gz")).string(),
            "start 4/4 " + u + "README -> " + (later / ("-" + d + ".README")).string(), "end"}));
  EXPECT_EQ(ReadFile(pdf), "pdf bytes");
  EXPECT_EQ(ReadFile(later / ("a-" + d + ".gz")), "gz bytes");
  EXPECT_EQ(ReadFile(later / ("-" + d + ".README")), "read me");
  EXPECT_EQ(std::distance(fs::directory_iterator(first), {}), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(later), {}), 2);
}

TEST_F(FrmMainTest, RunWithNothingToFetchOnlyEnds) {
  frmMain& form = Loaded();  // one empty entry
  Recorder recorder;
  form.SetRunObserver(&recorder);
  EXPECT_EQ(form.DownloadFiles(), 0);
  form.SetRunObserver(nullptr);
  EXPECT_EQ(recorder.events, Rows{"end"});
}

}  // namespace
