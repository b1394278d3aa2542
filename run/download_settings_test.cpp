#include "run/download_settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixtures/temp_folder.h"

namespace {

using Lines = std::vector<std::string>;

class DownloadSettingsTest : public ::testing::Test {
 protected:
  // Section "Download" of a settings file holding `text`.
  DownloadSettings Read(const std::string& text) {
    fwtest::WriteFile(path_, text);
    return ReadPath();
  }
  DownloadSettings ReadPath() {
    clsSettings settings;
    settings.Path(path_);
    return ReadDownloadSettings(settings);
  }
  static void ExpectDefaults(const DownloadSettings& s) {
    EXPECT_EQ(s.connectTimeout, 30);
    EXPECT_EQ(s.stallTimeout, 60);
    EXPECT_EQ(s.retries, 2);
    EXPECT_FALSE(s.skipUnchanged);
    EXPECT_EQ(s.keepCopies, 0);
    EXPECT_EQ(s.dateFormat, "%x");
    EXPECT_EQ(s.caFile, "");
    EXPECT_EQ(s.runTimeout, 82800);
    EXPECT_EQ(s.reportFile, "");
    EXPECT_FALSE(s.namesByPath);
    EXPECT_EQ(s.invalid, Lines{});
  }

  fwtest::TempFolder dir_;
  const std::string path_ = dir_ / "Settings.inf";
};

TEST_F(DownloadSettingsTest, NoSectionNoFileOrAnUnreadableOneGiveTheDefaultsSilently) {
  ExpectDefaults(ReadPath());  // no file
  ExpectDefaults(Read("[General]\nFolderPath=/tmp\nKeepCopies=+1\nDateFormat=%n\n"));
  // Empty values and keys without "=" mean the default (an unknown key is said
  // apart, in `unused`).
  ExpectDefaults(
      Read("[Download]\nMirrors=many\nParallel=\nReportFile=\nConnectTimeout=\nRetries\n"
           "KeepCopies =   \nSkipUnchanged=\nDateFormat=\nRunTimeout=\n"));
  // A FIFO in the file's place neither blocks nor counts.
  std::filesystem::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  ExpectDefaults(ReadPath());
}

struct WholeKey {
  const char* key;
  long least, most, fallback;
  long (*get)(const DownloadSettings&);
};
const WholeKey kWholeKeys[] = {
    {"ConnectTimeout", 1, 86400, 30, [](const DownloadSettings& s) { return s.connectTimeout; }},
    {"StallTimeout", 1, 86400, 60, [](const DownloadSettings& s) { return s.stallTimeout; }},
    {"Retries", 0, 10, 2, [](const DownloadSettings& s) { return long{s.retries}; }},
    {"KeepCopies", 0, 1000000, 0, [](const DownloadSettings& s) { return long{s.keepCopies}; }},
    {"RunTimeout", 1, 604800, 82800, [](const DownloadSettings& s) { return s.runTimeout; }},
};

TEST_F(DownloadSettingsTest, WholeNumbersAreDigitsOnlyAndLargerOnesCountAsTheMost) {
  for (const WholeKey& k : kWholeKeys) {
    SCOPED_TRACE(k.key);
    const std::string key = k.key;
    const std::vector<std::pair<std::string, long>> taken = {
        {std::to_string(k.least), k.least},   {std::to_string(k.most), k.most}, {" 007\t", 7},
        {std::to_string(k.most + 1), k.most}, {std::string(40, '9'), k.most},  // beyond any integer
                                                                               // type
    };
    for (const auto& [stored, expected] : taken) {
      const DownloadSettings s = Read("[Download]\n" + key + "=" + stored + "\n");
      EXPECT_EQ(k.get(s), expected) << stored;
      EXPECT_EQ(s.invalid, Lines{}) << stored;
    }
    Lines refused = {"+1", "-1", "1 ; keep one", "ten", "1.5", "0x10", "1 000", "１"};
    if (k.least > 0) refused.push_back(std::to_string(k.least - 1));
    for (const std::string& stored : refused) {
      const DownloadSettings s = Read("[Download]\n" + key + "=" + stored + "\n");
      EXPECT_EQ(k.get(s), k.fallback) << stored;
      EXPECT_EQ(s.invalid,
                Lines{"Settings.inf: " + key + "=" + stored +
                      " is not valid (a whole number from " + std::to_string(k.least) + " to " +
                      std::to_string(k.most) + "); " + std::to_string(k.fallback) + " is used"});
    }
  }
}

TEST_F(DownloadSettingsTest, EveryInvalidValueIsSaidOnceInOrderWithTheDefaultUsed) {
  const DownloadSettings s = Read(
      "[Download]\n"
      "RunTimeout=23h\n"
      "dateformat=%Y\x01%n\n"  // any letter case; the control byte is kept for the printer
      "CAFile = /etc/ssl/extra.pem \n"
      "reportfile = logs/runs \x01.jsonl \n"  // any text is a path
      "KeepCopies=+1\n"
      "KeepCopies=5\n"  // the first entry of a key counts
      "SkipUnchanged=true\n"
      "Retries=-1\n"
      "StallTimeout=0\n"
      "ConnectTimeout=30 ; seconds\n"
      "Parallel=lots\n");
  EXPECT_EQ(s.invalid,
            (Lines{
                "Settings.inf: ConnectTimeout=30 ; seconds is not valid (a whole number from 1 "
                "to 86400); 30 is used",
                "Settings.inf: StallTimeout=0 is not valid (a whole number from 1 to 86400); 60 "
                "is used",
                "Settings.inf: Retries=-1 is not valid (a whole number from 0 to 10); 2 is used",
                "Settings.inf: Parallel=lots is not valid (a whole number from 1 to 32); 6 is used",
                "Settings.inf: SkipUnchanged=true is not valid (0 or 1); 0 is used",
                "Settings.inf: KeepCopies=+1 is not valid (a whole number from 0 to 1000000); 0 "
                "is used",
                "Settings.inf: DateFormat=%Y\x01%n is not valid (a strftime format giving a date "
                "of 1 to 100 bytes without control characters); %x is used",
                "Settings.inf: RunTimeout=23h is not valid (a whole number from 1 to 604800); "
                "82800 is used",
            }));
  EXPECT_EQ(s.unused,
            Lines{"Settings.inf: KeepCopies is given twice in [Download]; the first is read"});
  EXPECT_EQ(s.parallel, 6);
  EXPECT_EQ(s.keepCopies, 0);
  EXPECT_EQ(s.caFile, "/etc/ssl/extra.pem");
  EXPECT_EQ(s.reportFile, "logs/runs \x01.jsonl");
  EXPECT_EQ(s.dateFormat, "%x");
}

TEST_F(DownloadSettingsTest, WhatTheFileHoldsAndIsNotReadIsSaidOnceWithTheNearestName) {
  const std::vector<std::pair<std::string, Lines>> cases = {
      {"[download]\nkeepcopies=7\n[General]\nFolderPath=/srv\n", {}},
      {"[Download]\nKeepCopy=7\nkeepcopy=8\nSkipUnchange=1\nToken=s3cret\nBearer s3cret\n",
       {"KeepCopy in [Download] is not a known key and is not read; did you mean KeepCopies?",
        "SkipUnchange in [Download] is not a known key and is not read; did you mean "
        "SkipUnchanged?",
        "Token in [Download] is not a known key and is not read",
        "a line without \"=\" in [Download] is not read"}},
      {"[Download]\nRetries=1\nretries=3\nRETRIES=4\n[General]\nFolderPath=/a\nfolderpath=/b\n",
       {"retries is given twice in [Download]; the first is read",
        "folderpath is given twice in [General]; the first is read"}},
      {"Retries=1\ns3cret\n[Downlaod]\nRetries=2\n[Other]\n[General]\nParallel=3\nFolderPat=/\n"
       "[download]\n[Download]\nRetries=5\n",
       {"Retries above the first section is not read; it belongs in [Download]",
        "a line without \"=\" above the first section is not read",
        "section [Downlaod] is not known and is not read; did you mean [Download]?",
        "section [Other] is not known and is not read",
        "Parallel in [General] is not a known key and is not read; it belongs in [Download]",
        "FolderPat in [General] is not a known key and is not read; did you mean FolderPath?",
        "section [Download] is given again; only the first is read"}},
  };
  for (const auto& [text, said] : cases) {
    const DownloadSettings s = Read(text);
    Lines expected;
    for (const std::string& line : said) expected.push_back("Settings.inf: " + line);
    EXPECT_EQ(s.unused, expected) << text;
    EXPECT_EQ(s.invalid, Lines{}) << text;
  }
  EXPECT_EQ(Read("[download]\nkeepcopies=7\n").keepCopies, 7);
}

TEST_F(DownloadSettingsTest, SkipUnchangedIsExactlyZeroOrOne) {
  EXPECT_TRUE(Read("[Download]\nSkipUnchanged = 1\n").skipUnchanged);
  const DownloadSettings off = Read("[Download]\nSkipUnchanged=0\n");
  EXPECT_FALSE(off.skipUnchanged);
  EXPECT_EQ(off.invalid, Lines{});
  for (const std::string stored : {"yes", "01", "1 ; on", "-1", "2"}) {
    const DownloadSettings s = Read("[Download]\nSkipUnchanged=" + stored + "\n");
    EXPECT_FALSE(s.skipUnchanged) << stored;
    EXPECT_EQ(s.invalid,
              Lines{"Settings.inf: SkipUnchanged=" + stored + " is not valid (0 or 1); 0 is used"});
  }
}

TEST_F(DownloadSettingsTest, NamesIsUrlOrPath) {
  EXPECT_TRUE(Read("[Download]\nNames=path\n").namesByPath);
  const DownloadSettings s = Read("[Download]\nNames=Path\n");
  EXPECT_EQ(s.invalid, Lines{"Settings.inf: Names=Path is not valid (url or path); url is used"});
}

TEST_F(DownloadSettingsTest, DateFormatMustGiveAShortPrintableDate) {
  for (const std::string& stored : Lines{"%Y-%m-%d", "%d/%m/%Y", std::string(100, 'x')}) {
    const DownloadSettings s = Read("[Download]\nDateFormat=" + stored + "\n");
    EXPECT_EQ(s.dateFormat, stored);
    EXPECT_EQ(s.invalid, Lines{});
  }
  for (const std::string& stored :
       Lines{"%n", "%Y%t%m", std::string(101, 'x'), "%Y" + std::string(98, 'x')}) {
    const DownloadSettings s = Read("[Download]\nDateFormat=" + stored + "\n");
    EXPECT_EQ(s.dateFormat, "%x") << stored;
    EXPECT_EQ(s.invalid.size(), 1u) << stored;
  }
  // A long value is quoted by its start only, never cut inside a UTF-8 character.
  EXPECT_EQ(Read("[Download]\nKeepCopies=" + std::string(99, '1') + "\xC3\xA9" + "\n").invalid,
            Lines{"Settings.inf: KeepCopies=" + std::string(99, '1') +
                  "... is not valid (a whole number from 0 to 1000000); 0 is used"});
  EXPECT_EQ(Read("[Download]\nDateFormat=" + std::string(300, 'x') + "\n").invalid,
            Lines{"Settings.inf: DateFormat=" + std::string(100, 'x') +
                  "... is not valid (a strftime format giving a date of 1 to 100 bytes without "
                  "control characters); %x is used"});
}

TEST(UsableDateTest, TurnsSlashesIntoDashesAndRefusesUnusableDates) {
  std::tm day{};
  day.tm_year = 2026 - 1900;
  day.tm_mon = 6;
  day.tm_mday = 12;
  EXPECT_EQ(UsableDate("%d/%m/%Y", day), "12-07-2026");
  EXPECT_EQ(UsableDate("\x7f%d", day), std::nullopt);
  EXPECT_EQ(UsableDate(std::string(224, 'x') + "%Y%Y%Y%Y%Y%Y%Y%Y", day),
            std::nullopt);  // 256 bytes
}

TEST_F(DownloadSettingsTest, UserAgentTakesTextWithoutControlCharacters) {
  const DownloadSettings s = Read("[Download]\nUserAgent=a\x01X-Injected: 1\n");
  EXPECT_EQ(s.userAgent, "fetchwell/" FETCHWELL_VERSION);
  EXPECT_EQ(s.invalid,
            Lines{"Settings.inf: UserAgent=a\x01X-Injected: 1 is not valid (text "
                  "without control characters); fetchwell/" FETCHWELL_VERSION " is used"});
}

}  // namespace
