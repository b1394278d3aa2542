#include "run/download_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using Names = std::vector<std::string>;

// DownloadFile answers for the session it is given, or for a session of its own.
TEST(DownloadFileTest, TrueOnlyWhenTheFileArrives) {
  fwtest::TempFolder dir;
  fwtest::WriteFile(dir / "source.txt", "line one\nline two\n");
  const std::string url = "file://" + (dir / "source.txt");
  EXPECT_TRUE(modMain::DownloadFile(url, dir / "copy.txt"));
  EXPECT_EQ(fwtest::ReadFile(dir / "copy.txt"), "line one\nline two\n");

  fw::DownloadSession session;
  const std::string refused = "http://127.0.0.1:" + std::to_string(fwtest::UnusedPort()) + "/r";
  EXPECT_FALSE(modMain::DownloadFile(refused, dir / "report.pdf"));
  EXPECT_FALSE(modMain::DownloadFile(refused, dir / "report.pdf", &session));
  EXPECT_EQ(session.LastError(), "connection refused");
  EXPECT_TRUE(modMain::DownloadFile(url, dir / "again.txt", &session));
  EXPECT_EQ(dir.Entries(), (Names{"again.txt", "copy.txt", "source.txt"}));
}

}  // namespace
