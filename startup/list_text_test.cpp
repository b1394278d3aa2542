#include "startup/list_text.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "startup/usage.h"

namespace modMain {
namespace {

ListView View() {
  ListView view;
  view.listFile = "/p/Files.dat";
  view.listFileExists = true;
  view.settingsFile = "/p/Settings.inf";
  view.folder = "/srv/my reports";
  view.settings.keepCopies = 3;
  view.settings.invalid = {"Settings.inf: Retries=x is not valid; 2 is used"};
  view.entries = {{"http://u:secret@h/a.pdf", "/srv/my reports/a-d.pdf", std::nullopt},
                  {"", "", std::nullopt},
                  {"http://h/\x1b[2J.txt", "/srv/my reports/\x1b[2J-d.txt", std::string()}};
  return view;
}

TEST(ListTextTest, ListingNumbersEveryEntryAndHidesSecrets) {
  const std::string text = ListingText(View());
  EXPECT_NE(text.find("Entries: 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  1. http://u:***@h/a.pdf -> /srv/my reports/a-d.pdf\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("  2. (empty)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  KeepCopies=3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("  not valid: Settings.inf: Retries=x"), std::string::npos) << text;
  EXPECT_NE(text.find("Settings file: /p/Settings.inf (missing: defaults)\n"), std::string::npos);
  EXPECT_EQ(text.find("secret"), std::string::npos) << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
}

TEST(ListTextTest, DryRunShowsOnlyWhatARunFetches) {
  const std::string text = DryRunText(View());
  EXPECT_EQ(text.rfind("Dry run of -e: 2 of 3 entries", 0), 0u) << text;
  EXPECT_EQ(text.find("(empty)"), std::string::npos) << text;
  // Entries keep their numbers in the list; a basis is told only when looked for.
  EXPECT_NE(text.find("  1. http://u:***@h/a.pdf -> /srv/my reports/a-d.pdf\n"), std::string::npos);
  EXPECT_NE(text.find("  3. http://h/\\x1b[2J.txt -> /srv/my reports/\\x1b[2J-d.txt; no basis\n"),
            std::string::npos)
      << text;
  ListView view = View();
  view.entries[0].basis = "a-c.pdf";
  EXPECT_NE(DryRunText(view).find("a-d.pdf; basis: a-c.pdf\n"), std::string::npos);
  EXPECT_EQ(text.find("secret"), std::string::npos) << text;
}

// How many lines of `text` `pattern` matches whole.
size_t Matching(const std::string& text, const std::regex& pattern) {
  size_t count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) count += std::regex_match(line, pattern);
  return count;
}

TEST(ListTextTest, ListingAndUsageShowEveryKeyOfTheTableWithItsDefault) {
  const ListView view = View();
  const std::string listing = ListingText(view);
  const std::string usage = UsageText();
  for (const DownloadKey& key : DownloadKeys()) {
    const std::string name = key.name;
    EXPECT_NE(listing.find("\n  " + name + "=" + key.shown(view.settings) + "\n"),
              std::string::npos)
        << name;
    EXPECT_NE(usage.find("\n    " + name + "=" + key.placeholder + " "), std::string::npos) << name;
    const std::string fallback = key.shown(DownloadSettings{});
    if (!fallback.empty()) {
      EXPECT_NE(std::string(key.help).find("(default " + fallback), std::string::npos) << name;
    }
  }
  // No line for a key outside the table ([General]'s FolderPath aside).
  EXPECT_EQ(Matching(listing, std::regex(R"(  \w+=.*)")), DownloadKeys().size());
  EXPECT_EQ(Matching(usage, std::regex(R"(    \w+=.*)")), DownloadKeys().size() + 1);
  EXPECT_NE(listing.find("\n  Parallel=6\n"), std::string::npos) << listing;
}

}  // namespace
}  // namespace modMain
