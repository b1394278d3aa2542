// End-to-end: the words that manage the list and the folder without the
// window (--list, --add, --remove, --folder, --dry-run) and unknown options,
// run through the built program in a folder of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// A fixed date text, so that destinations do not change at midnight.
constexpr const char* kFixedDate = "DateFormat=day\n";

class E2eWordsTest : public ::testing::Test {
 protected:
  void WriteList(const Words& entries) const {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
  }
  std::string List() const { return ReadFile(program_ / "Files.dat"); }
  // Settings.inf with the program's folder as FolderPath, then `more`.
  void WriteSettings(const std::string& more) const {
    WriteFile(program_ / "Settings.inf",
              "[General]\nFolderPath=" + program_.Folder().Path() + "\n[Download]\n" + more);
  }

  // "  <n>. <url> -> <destination>" as a report shows an entry.
  std::string EntryLine(int n, const std::string& url, const std::string& name) const {
    return "  " + std::to_string(n) + ". " + url + " -> " + (program_ / name);
  }

  ProgramCopy program_{false};  // no window module: a word that opened it would fail
};

TEST_F(E2eWordsTest, ListShowsFilesFolderSettingsAndEntriesCreatingNothing) {
  for (const char* word : {"--list", "-l"}) {
    const RunResult run = program_.Run({word});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.errors, "");
    EXPECT_NE(
        run.output.find("List file: " + (program_ / "Files.dat") + " (missing: no entries)\n"),
        std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Download folder: " + program_.Folder().Path() + "\n"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Entries: 0\n"), std::string::npos) << run.output;
    EXPECT_EQ(program_.Folder().Entries(), Words{"fetchwell"}) << word << " created a file";
  }

  WriteList({"http://h/a/report.pdf", "", "ftp://h/data.tar.gz"});
  WriteSettings(std::string(kFixedDate) + "Retries=+1\nKeepCopies=3\n");
  const RunResult run = program_.Run({"--list"});
  EXPECT_EQ(run.status, 0) << run.errors;
  for (const std::string& line :
       {EntryLine(1, "http://h/a/report.pdf", "report-day.pdf"), std::string("  2. (empty)"),
        EntryLine(3, "ftp://h/data.tar.gz", "data-day.gz"), std::string("Entries: 3"),
        std::string("  KeepCopies=3"), std::string("  Retries=2"), std::string("  Parallel=6"),
        std::string("  not valid: Settings.inf: Retries=+1 is not valid")}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  EXPECT_EQ(run.errors, "");
}

TEST_F(E2eWordsTest, AddAppendsInOrderAndARefusalSavesNothing) {
  // A missing list has no entries: the new list holds the URLs alone, and
  // the settings file is not made.
  RunResult run = program_.Run({"--add", "http://h/1.txt", "file:///etc/hosts"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(List(), ListFileBytes({"http://h/1.txt", "file:///etc/hosts"}));
  EXPECT_FALSE(fs::exists(program_ / "Settings.inf"));

  run = program_.Run({"--add", "HTTPS://h:8443/2?x=y", "--add", "ftps://h/3"});
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string saved =
      ListFileBytes({"http://h/1.txt", "file:///etc/hosts", "HTTPS://h:8443/2?x=y", "ftps://h/3"});
  EXPECT_EQ(List(), saved);

  // Every word is checked before anything is saved.
  const std::vector<std::pair<Words, std::string>> refused = {
      {{"--add", "http://h/4", "report.pdf"},
       "fetchwell: --add: not a URL the run can fetch: report.pdf\n"},
      {{"--add", "gopher://h/5"}, "fetchwell: --add: not a URL the run can fetch: gopher://h/5\n"},
      {{"--add", "http://"}, "fetchwell: --add: not a URL the run can fetch: http://\n"},
      {{"--add"}, "fetchwell: --add: needs at least one URL\n"},
      {{"--add", "-e"}, "fetchwell: --add: needs at least one URL\n"},
      {{"--add", "http://h/6", "--remove", "99"},
       "fetchwell: --remove: no entry numbered 99 (the list has 5 entries)\n"},
  };
  for (const auto& [words, line] : refused) {
    run = program_.Run(words);
    EXPECT_EQ(run.status, 2) << words.back();
    EXPECT_EQ(run.errors, line);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(List(), saved) << words.back() << ": a refused command line saved";
  }
  EXPECT_EQ(program_.Folder().Entries(), (Words{"Files.dat", "fetchwell"}));
}

TEST_F(E2eWordsTest, RemoveTakesTheNumbersListShows) {
  WriteList({"a", "b", "c", "d", "e"});
  RunResult run = program_.Run({"--remove", "2", "3"});  // counted before any removal
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(List(), ListFileBytes({"a", "d", "e"}));
  run = program_.Run({"--remove", "3", "--remove", "1", "--list"});  // one word after the other
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(List(), ListFileBytes({"d"}));
  EXPECT_NE(run.output.find("Entries: 1\n  1. d -> "), std::string::npos) << run.output;

  const std::string saved = List();
  for (const Words& words : std::vector<Words>{{"--remove", "0"},
                                               {"--remove", "2"},
                                               {"--remove", "1", "x"},
                                               {"--remove", "99999999999999999999"},
                                               {"--remove", "1", "--remove", "1"},
                                               {"--remove"}}) {
    run = program_.Run(words);
    EXPECT_EQ(run.status, 2) << words.back();
    EXPECT_EQ(run.errors.rfind("fetchwell: --remove: ", 0), 0u) << run.errors;
    EXPECT_EQ(List(), saved) << words.back();
  }
}

TEST_F(E2eWordsTest, FolderChangesOnlyFolderPath) {
  const std::string reports = program_ / "my reports";
  fs::create_directory(reports);
  const std::string before =
      "; kept as written\r\n[General]\r\n  FolderPath=/old\r\nOther = x ; not a comment\r\n"
      "\r\n# also kept\r\n[Download]\r\nRetries=1\r\n";
  WriteFile(program_ / "Settings.inf", before);
  RunResult run = program_.Run({"--folder", reports});
  EXPECT_EQ(run.status, 0) << run.errors;
  std::string expected = before;
  expected.replace(expected.find("/old"), 4, reports);
  EXPECT_EQ(ReadFile(program_ / "Settings.inf"), expected);
  EXPECT_FALSE(fs::exists(program_ / "Files.dat"));

  // The same, written in one argument as a shell script might.
  run = program_.Run({"--folder " + program_.Folder().Path(), "--list"});
  EXPECT_EQ(run.status, 0) << run.errors;
  expected.replace(expected.find(reports), reports.size(), program_.Folder().Path());
  EXPECT_EQ(ReadFile(program_ / "Settings.inf"), expected);
  EXPECT_NE(run.output.find("Download folder: " + program_.Folder().Path() + "\n"),
            std::string::npos);

  WriteFile(program_ / "file", "");
  for (const Words& words : std::vector<Words>{{"--folder", "my reports"},
                                               {"--folder", reports + "/missing"},
                                               {"--folder", program_ / "file"},
                                               {"--folder", reports + " "},
                                               {"--folder"}}) {
    run = program_.Run(words);
    EXPECT_EQ(run.status, 2) << words.back();
    EXPECT_EQ(run.errors.rfind("fetchwell: --folder: ", 0), 0u) << run.errors;
    EXPECT_EQ(ReadFile(program_ / "Settings.inf"), expected) << words.back();
  }
}

TEST_F(E2eWordsTest, DryRunMakesNoRequestAndNoFile) {
  LoopbackServer server;
  const std::string url = server.Url("/bytes/100?name=/a.bin");
  // No list file: nothing to do, nothing made.
  RunResult run = program_.Run({"--dry-run", "-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.output.rfind("Dry run of -e: 0 of 0 entries", 0), 0u) << run.output;
  EXPECT_EQ(program_.Folder().Entries(), Words{"fetchwell"});

  WriteList({url, ""});
  WriteSettings(kFixedDate);
  const auto files = program_.Folder().Entries();
  for (const Words& words : std::vector<Words>{{"--dry-run"}, {"-n"}, {"-e", "--dry-run"}}) {
    run = program_.Run(words);
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(run.output.rfind("Dry run of -e: 1 of 2 entries", 0), 0u) << run.output;
    EXPECT_NE(run.output.find(EntryLine(1, url, "a-day.bin") + "\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("basis"), std::string::npos) << "SkipUnchanged is 0";
    EXPECT_NE(run.output.find("  SkipUnchanged=0\n"), std::string::npos);
    EXPECT_EQ(program_.Folder().Entries(), files);
  }
  EXPECT_EQ(server.Stats().requests, 0);

  // Without --dry-run, the changes are made first, then -e fetches.
  run = program_.Run({"-e", "--remove", "2"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(List(), ListFileBytes({url}));
  EXPECT_EQ(ReadFile(program_ / "a-day.bin"), LoopbackServer::Pattern(100));
}

TEST_F(E2eWordsTest, DryRunTellsWhetherARunHasABasis) {
  LoopbackServer server;
  const std::string url = server.Url("/validated/300?etag=%22v1%22&name=/report.bin");
  WriteList({url});
  WriteSettings(std::string(kFixedDate) + "SkipUnchanged=1\n");
  RunResult run = program_.Run({"-n"});
  EXPECT_NE(run.output.find(EntryLine(1, url, "report-day.bin") + "; no basis\n"),
            std::string::npos)
      << run.output;

  const RunResult fetched = program_.Run({"-e"});
  ASSERT_EQ(fetched.status, 0) << fetched.errors;
  const int requests = server.Stats().requests;
  run = program_.Run({"--dry-run"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_NE(run.output.find(EntryLine(1, url, "report-day.bin") + "; basis: report-day.bin\n"),
            std::string::npos)
      << run.output;

  // Edited since: its content no longer matches its record.
  WriteFile(program_ / "report-day.bin", LoopbackServer::Pattern(299) + "x");
  run = program_.Run({"--dry-run"});
  EXPECT_NE(run.output.find("report-day.bin; no basis\n"), std::string::npos) << run.output;
  EXPECT_EQ(server.Stats().requests, requests);
}

TEST_F(E2eWordsTest, UnknownLongOptionsEndBeforeAnythingIsDone) {
  LoopbackServer server;
  WriteList({server.Url("/bytes/10?name=/a.bin")});
  WriteSettings(kFixedDate);
  const auto files = program_.Folder().Entries();
  // Without the window module, a word that got as far as opening it would fail.
  for (const Words& words : std::vector<Words>{{"--dryrun", "-e"}, {"--lsit"}, {"-e", "--x"}}) {
    const RunResult run = program_.Run(words);
    EXPECT_EQ(run.status, 2) << words.front();
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(LinesOf(run.errors).size(), 1u) << run.errors;
    EXPECT_EQ(program_.Folder().Entries(), files) << words.front();
  }
  EXPECT_EQ(program_.Run({"--dryrun", "-e"}).errors,
            "fetchwell: unknown option --dryrun, nothing done; did you mean --dry-run?\n");
  EXPECT_EQ(program_.Run({"-L", "--x"}).errors,
            "fetchwell: unknown option -L ignored; see --help\n"
            "fetchwell: unknown option --x, nothing done; see --help\n");
  EXPECT_EQ(server.Stats().requests, 0);

  // A single "-" is said and ignored, as ever.
  const RunResult run = program_.Run({"-L", "-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "fetchwell: unknown option -L ignored; see --help\n");
  EXPECT_EQ(ReadFile(program_ / "a-day.bin"), LoopbackServer::Pattern(10));
}

TEST_F(E2eWordsTest, AddTakesEachArgumentAsOneUrl) {
  LoopbackServer server;
  const std::string url = server.Url("/bytes/100?name=/with space.bin");
  WriteSettings(kFixedDate);
  const RunResult run = program_.Run({"--add", url, " " + server.Url("/bytes/5") + " ", "-e"});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(List(), ListFileBytes(
                        {server.Url("/bytes/100?name=/with%20space.bin"), server.Url("/bytes/5")}));
  EXPECT_EQ(ReadFile(program_ / "with%20space-day.bin"), LoopbackServer::Pattern(100));
}

TEST_F(E2eWordsTest, SettingsTheProgramDoesNotReadAreSaidOnceARun) {
  LoopbackServer server;
  WriteList({server.Url("/bytes/10?name=/a.bin")});
  WriteFile(program_ / "Settings.inf",
            "[download]\nDateFormat=day\nKeepCopy=7\nRetries=1\nretries=3\n[Downlaod]\n");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors,
            "fetchwell: Settings.inf: KeepCopy in [download] is not a known key and is not read; "
            "did you mean KeepCopies?\n"
            "fetchwell: Settings.inf: retries is given twice in [download]; the first is read\n"
            "fetchwell: Settings.inf: section [Downlaod] is not known and is not read; did you "
            "mean [Download]?\n");
  EXPECT_TRUE(fs::exists(program_ / "a-day.bin")) << "[download] was not read";
}

TEST_F(E2eWordsTest, SetChangesKeysAsARunReadsThemKeepingOtherBytes) {
  const std::string before =
      "; mine\r\n[General]\r\nFolderPath=/srv\r\n[download]\r\nkeepcopies = 7\r\n"
      "Retries=1\r\nretries=3\r\n";
  WriteFile(program_ / "Settings.inf", before);
  RunResult run = program_.Run({"--set", "KeepCopies=3", "DateFormat=%d %m", "Retries=", "-l"});
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string after =
      "; mine\r\n[General]\r\nFolderPath=/srv\r\n[download]\r\nkeepcopies = 3\r\n"
      "DateFormat=%d %m\r\n";
  EXPECT_EQ(ReadFile(program_ / "Settings.inf"), after);
  EXPECT_NE(run.output.find("  Retries=2\n  Parallel=6\n  SkipUnchanged=0\n  KeepCopies=3\n"
                            "  DateFormat=%d %m\n"),
            std::string::npos)
      << run.output;

  for (const Words& words : std::vector<Words>{{"--set", "KeepCopies=1", "Parallel=0"},
                                               {"--set", "KeepCopy=1"},
                                               {"--set", "DateFormat=%n"},
                                               {"--set"}}) {
    run = program_.Run(words);
    EXPECT_EQ(run.status, 2) << words.back();
    EXPECT_EQ(run.errors.rfind("fetchwell: --set: ", 0), 0u) << run.errors;
    EXPECT_EQ(ReadFile(program_ / "Settings.inf"), after) << words.back();
  }
  EXPECT_NE(program_.Run({"--set", "KeepCopy=1"}).errors.find("did you mean KeepCopies?"),
            std::string::npos);
}

TEST_F(E2eWordsTest, PasswordsAreNeverPrinted) {
  const std::string secret = "s3cr3t-Pa55";
  RunResult run = program_.Run({"--add", "http://user:" + secret + "@h/x.zip"});
  EXPECT_EQ(run.status, 0) << run.errors;
  WriteSettings(kFixedDate);
  for (const Words& words : std::vector<Words>{{"--list"},
                                               {"--dry-run"},
                                               {"--add", "htp://user:" + secret + "@h/y"},
                                               {"--add=http://user:" + secret + "@h/z"},
                                               // Another program's habits.
                                               {"--http-password=" + secret, "-e"},
                                               {"--user=u:" + secret},
                                               {"-p=" + secret, "-l"}}) {
    run = program_.Run(words);
    EXPECT_EQ((run.output + run.errors).find(secret), std::string::npos)
        << run.output << run.errors;
  }
  // Header lines pasted into the settings, where the text before "=" is the key.
  WriteSettings(std::string(kFixedDate) + "Authorization: Basic " + secret +
                "==\nhttps://h/ X-Key: " + secret + "=1\n" + secret + "ABCDEFGHIJKLMNOP=\n");
  run = program_.Run({"-l"});
  EXPECT_EQ((run.output + run.errors).find(secret), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(EntryLine(1, "http://user:***@h/x.zip", "x-day.zip")),
            std::string::npos)
      << run.output;
}

TEST_F(E2eWordsTest, AListFileThatIsNoFileEndsCleanly) {
  ASSERT_EQ(mkfifo((program_ / "Files.dat").c_str(), 0600), 0);
  const RunResult run = program_.Run({"--list"});  // must not block on the FIFO
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.errors.rfind("fetchwell: error 75: ", 0), 0u) << run.errors;
  EXPECT_NE(run.errors.find("Files.dat"), std::string::npos) << run.errors;
}

}  // namespace
}  // namespace fwtest
