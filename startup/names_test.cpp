#include "startup/names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace modMain;

TEST(NamesTest, FixPathEndsInOneSlash) {
  EXPECT_EQ(FixPath("/data"), "/data/");
  EXPECT_EQ(FixPath("/data/"), "/data/");
  EXPECT_EQ(FixPath(""), "/");
  EXPECT_EQ(FixPath("/"), "/");
}

TEST(NamesTest, GetFileFromURLTakesTheLastSegment) {
  EXPECT_EQ(GetFileFromURL("http://host/a/b/report.pdf"), "report.pdf");
  EXPECT_EQ(GetFileFromURL("http://host/dir/"), "");
  EXPECT_EQ(GetFileFromURL("plainname"), "plainname");
  EXPECT_EQ(GetFileFromURL(""), "");
}

TEST(NamesTest, StripExtensionCutsAtTheFirstDot) {
  EXPECT_EQ(StripExtension("report.pdf"), "report");
  EXPECT_EQ(StripExtension("a.b.c"), "a");
  EXPECT_EQ(StripExtension("README"), "");
  EXPECT_EQ(StripExtension(".profile"), "");
  EXPECT_EQ(StripExtension(""), "");
}

TEST(NamesTest, GetExtensionCutsAtTheLastDot) {
  EXPECT_EQ(GetExtension("report.pdf"), "pdf");
  EXPECT_EQ(GetExtension("a.b.c"), "c");
  EXPECT_EQ(GetExtension("README"), "README");
  EXPECT_EQ(GetExtension("name."), "");
  EXPECT_EQ(GetExtension("\xC3\xA9t\xC3\xA9.\xE6\x97\xA5"), "\xE6\x97\xA5");  // UTF-8 bytes kept
}

TEST(NamesTest, DestinationNamesOfADownloadRun) {
  const auto destination = [](const std::string& url) {
    const std::string name = GetFileFromURL(url);
    return FixPath("/reports") + StripExtension(name) + "-" + "06-12-2026" + "." +
           GetExtension(name);
  };
  EXPECT_EQ(destination("http://host/dir/report.pdf"), "/reports/report-06-12-2026.pdf");
  EXPECT_EQ(destination("http://host/a/data.tar.gz"), "/reports/data-06-12-2026.gz");
  EXPECT_EQ(destination("http://host/README"), "/reports/-06-12-2026.README");
  EXPECT_EQ(destination("http://host/dir/"), "/reports/-06-12-2026.");
}

}  // namespace
