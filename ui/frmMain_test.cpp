#include "ui/frmMain.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <ctime>
#include <filesystem>
#include <optional>

#include "platform/error.h"
#include "run/run_observer.h"
#include "store/memory_list_display.h"
#include "tests/fixtures/expect_error.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using fwtest::ReadFile;
using fwtest::WriteFile;
using Rows = std::vector<std::string>;

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
    frmMain::UseProgramFolder(dir_.Path());
    frmMain::Unload();
  }
  void TearDown() override {
    frmMain::Unload();
    frmMain::UseProgramFolder("");
  }

  // The window object, loaded, its list display watched by the test.
  frmMain& Loaded() {
    frmMain& form = frmMain::Instance();
    form.AttachControls(&shown_, nullptr);
    form.LoadData();
    return form;
  }
  Rows Shown(frmMain&) const { return shown_.rows; }
  static Rows Entries(frmMain& form) {
    Rows rows;
    for (int i = 0; i <= form.Files().UpperBound(); ++i) rows.push_back(form.Files().File(i));
    return rows;
  }
  frmMain& WithEntries(const Rows& entries) {
    frmMain& form = Loaded();
    form.Files().ClearAll();
    for (const auto& e : entries) form.Files().AddFile(e);
    form.Files().AddToList(form.lstFiles());
    return form;
  }

  fwtest::TempFolder dir_;
  MemoryListDisplay shown_;
};

// The folder shown is the saved one; none, or an empty one, means the program's.
TEST_F(FrmMainTest, LoadShowsTheListAndTheSavedFolder) {
  EXPECT_EQ(frmMain::ListFilePath(), dir_ / "Files.dat");
  EXPECT_EQ(Shown(Loaded()), Rows{""});
  EXPECT_EQ(frmMain::Instance().txtPath().Text(), dir_.Path());
  frmMain::Unload();
  WriteFile(dir_ / "Settings.inf", "[General]\nFolderPath=/srv/snapshots\n");
  EXPECT_EQ(Loaded().txtPath().Text(), "/srv/snapshots");
  frmMain::Unload();
  WriteFile(dir_ / "Settings.inf", "[General]\nFolderPath=\n");
  EXPECT_EQ(Loaded().txtPath().Text(), dir_.Path());
}

// A row that is not there removes nothing, not even the rows that are.
TEST_F(FrmMainTest, RemovingARowThatIsNotThereChangesNothing) {
  frmMain& form = WithEntries({"a", "b", "c"});
  for (const std::vector<int>& rows : {std::vector<int>{0, 3}, {-1}}) {
    fwtest::ExpectError(fw::kSubscriptOutOfRange, [&] { form.RemoveFiles(rows); });
    EXPECT_EQ(Entries(form), (Rows{"a", "b", "c"}));
  }
}

TEST_F(FrmMainTest, SaveThatCannotWriteTheSettingsFails) {
  frmMain& form = WithEntries({"x"});
  fs::create_directory(dir_ / "Settings.inf");
  fw::Error e = fwtest::ExpectError(fw::kFileAccess, [&] { form.Save(nullptr); });
  EXPECT_NE(e.Description().find("Settings.inf"), std::string::npos) << e.Description();
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
  EXPECT_EQ(Entries(form), (Rows{"a", "b", "c"}));
}

// DateFormat shapes the date in names; one that gives no usable text (empty,
// a line break, too long) falls back to the locale's short date.
TEST_F(FrmMainTest, DateFormatShapesNames) {
  fwtest::TempFolder src;
  WriteFile(src / "r.pdf", "x");
  const std::string shortDate = fwtest::TodayInTheCLocale();
  char iso[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(iso, sizeof iso, "%Y-%m-%d", &local);
  for (const auto& [format, date] : std::vector<std::pair<std::string, std::string>>{
           {"%F", iso},
           {"%d/%m/%Y",
            std::string(iso + 8, 2) + "-" + std::string(iso + 5, 2) + "-" + std::string(iso, 4)},
           {"", shortDate},
           {"%n", shortDate},
           {std::string(300, 'Y'), shortDate}}) {
    WriteFile(dir_ / "Settings.inf", "[Download]\nDateFormat=" + format + "\n");
    frmMain& form = WithEntries({"file://" + src.Path() + "/r.pdf"});
    EXPECT_EQ(form.DownloadFiles(), 0) << format;
    EXPECT_EQ(ReadFile(dir_ / ("r-" + date + ".pdf")), "x") << format;
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
  void EntryFailed(const std::string& url, const std::string& reason) override {
    events.push_back("failed " + url + (reason.empty() ? " without a reason" : ""));
  }
  void RunEnded() override { events.push_back("end"); }

  Rows events;
  std::string moveTo;
};

TEST_F(FrmMainTest, RunFetchesEveryNonEmptyEntryToADatedName) {
  fwtest::TempFolder src, first, later;
  WriteFile(src / "report.pdf", "pdf bytes");
  WriteFile(src / "a.tar.gz", "gz bytes");
  WriteFile(src / "README", "read me");
  const std::string u = "file://" + src.Path() + "/";

  frmMain& form =
      WithEntries({"", u + "report.pdf", u + "missing.txt", "", u + "a.tar.gz", u + "README"});
  form.txtPath().SetText(first.Path());
  Recorder recorder;
  // The folder text is read anew for each entry, as its transfer starts.
  // Several start at once, so the failure is told after the starts.
  recorder.moveTo = later.Path();
  form.SetRunObserver(&recorder);
  EXPECT_EQ(form.DownloadFiles(), 1);
  form.SetRunObserver(nullptr);

  const std::string d = fwtest::TodayInTheCLocale();
  const std::string pdf = first / ("report-" + d + ".pdf");
  EXPECT_EQ(recorder.events,
            (Rows{"start 1/4 " + u + "report.pdf -> " + pdf,
                  "start 2/4 " + u + "missing.txt -> " + (later / ("missing-" + d + ".txt")),
                  "start 3/4 " + u + "a.tar.gz -> " + (later / ("a-" + d + ".gz")),
                  "start 4/4 " + u + "README -> " + (later / ("-" + d + ".README")),
                  "failed " + u + "missing.txt", "end"}));
  EXPECT_EQ(ReadFile(pdf), "pdf bytes");
  EXPECT_EQ(ReadFile(later / ("a-" + d + ".gz")), "gz bytes");
  EXPECT_EQ(ReadFile(later / ("-" + d + ".README")), "read me");
  EXPECT_EQ(first.Entries().size(), 1u);
  EXPECT_EQ(later.Entries().size(), 2u);
}

// Records failures with their reasons.
class FailureRecorder : public Recorder {
 public:
  void EntryFailed(const std::string& url, const std::string& reason) override {
    events.push_back("failed " + url + ": " + reason);
  }
};

// Files go to the disk while the next entry is fetched; one the disk refuses
// (here: past the process's file size limit) fails its own entry, in list
// order, with the disk's reason, and an older file of its name stays whole.
TEST_F(FrmMainTest, AFileTheDiskRefusesFailsOnlyItsOwnEntry) {
  fwtest::TempFolder src, out;
  WriteFile(src / "a.txt", "small");
  WriteFile(src / "big.bin", std::string(300000, 'x'));
  WriteFile(src / "c.txt", "also small");
  const std::string u = "file://" + src.Path() + "/";
  const std::string d = fwtest::TodayInTheCLocale();
  WriteFile(out / ("big-" + d + ".bin"), "yesterday");
  frmMain& form = WithEntries({u + "a.txt", u + "big.bin", u + "c.txt"});
  form.txtPath().SetText(out.Path());
  FailureRecorder recorder;
  form.SetRunObserver(&recorder);

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit limited{100000, old.rlim_max};
  const auto previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int failed = form.DownloadFiles();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  form.SetRunObserver(nullptr);

  EXPECT_EQ(failed, 1);
  // Its line comes after its own start, and before the next entry's only when
  // the disk failed it before its body had all arrived.
  ASSERT_EQ(recorder.events.size(), 5u);
  EXPECT_EQ(recorder.events[1].rfind("start 2/3 ", 0), 0u) << recorder.events[1];
  const auto line = std::find_if(recorder.events.begin(), recorder.events.end(),
                                 [](const std::string& e) { return e.rfind("failed ", 0) == 0; });
  ASSERT_NE(line, recorder.events.end());
  EXPECT_TRUE(line - recorder.events.begin() == 2 || line - recorder.events.begin() == 3);
  EXPECT_EQ(line->rfind("failed " + u + "big.bin: ", 0), 0u) << *line;
  EXPECT_NE(line->find("File too large"), std::string::npos) << *line;
  EXPECT_EQ(recorder.events.back(), "end");
  EXPECT_EQ(ReadFile(out / ("a-" + d + ".txt")), "small");
  EXPECT_EQ(ReadFile(out / ("c-" + d + ".txt")), "also small");
  EXPECT_EQ(ReadFile(out / ("big-" + d + ".bin")), "yesterday");
  EXPECT_EQ(out.Entries().size(), 3u) << "no temporary file is left";
}

}  // namespace
