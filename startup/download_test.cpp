#include "startup/download.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class DownloadFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "fetchwell-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // A loopback port that nothing listens on.
  static int RefusingPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
  }

  fs::path dir_;
};

TEST_F(DownloadFileTest, TrueWhenTheFileArrives) {
  std::ofstream(dir_ / "source.txt") << "line one\nline two\n";
  const std::string url = "file://" + (dir_ / "source.txt").string();
  EXPECT_TRUE(modMain::DownloadFile(url, dir_ / "copy-1.txt"));
  EXPECT_EQ(Read(dir_ / "copy-1.txt"), "line one\nline two\n");

  fw::DownloadSession session;
  EXPECT_TRUE(modMain::DownloadFile(url, dir_ / "copy-2.txt", &session));
  EXPECT_EQ(Read(dir_ / "copy-2.txt"), "line one\nline two\n");
}

TEST_F(DownloadFileTest, FalseForAnUnreachableHostOrFolder) {
  const std::string url = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/report.pdf";
  EXPECT_FALSE(modMain::DownloadFile(url, dir_ / "report.pdf"));

  fw::DownloadSession session;
  EXPECT_FALSE(modMain::DownloadFile(url, dir_ / "report.pdf", &session));
  EXPECT_EQ(session.LastError(), "connection refused");

  std::ofstream(dir_ / "source.txt") << "data";
  EXPECT_FALSE(modMain::DownloadFile("file://" + (dir_ / "source.txt").string(),
                                     dir_ / "no-such-folder" / "copy.txt", &session));
  EXPECT_FALSE(session.LastError().empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

}  // namespace
