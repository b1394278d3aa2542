// Whom a DownloadSession trusts and with what it logs in: an extra bundle of
// certificates, and a netrc file. Real loopback servers, real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fetch/download.h"
#include "platform/files.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/scoped_env.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using fwtest::LoopbackServer;
using fwtest::TempFolder;
using Names = std::vector<std::string>;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// `url` with "user:password@" put before its host.
std::string WithLogin(const std::string& url, const std::string& login) {
  const size_t host = url.find("://") + 3;
  return url.substr(0, host) + login + "@" + url.substr(host);
}

fw::DownloadTrust CaFile(const std::string& path) {
  fw::DownloadTrust trust;
  trust.caFile = path;
  return trust;
}

fw::DownloadTrust NetrcFile(const std::string& path) {
  fw::DownloadTrust trust;
  trust.netrcFile = path;
  return trust;
}

class DownloadTrustTest : public ::testing::Test {
 protected:
  LoopbackServer https_{LoopbackServer::Mode::kHttpsWithAuthority};
  LoopbackServer http_;
  TempFolder dir_;    // destinations only
  TempFolder files_;  // certificate bundles and netrc files
};

TEST_F(DownloadTrustTest, AnExtraBundleMakesItsAuthorityTrusted) {
  const std::string url = https_.Url("/bytes/1000/x");
  ASSERT_EQ(url.rfind("https://", 0), 0u) << url;
  const std::string path = dir_ / "x";
  {
    fw::DownloadSession plain;
    EXPECT_FALSE(plain.Fetch(url, path));
    EXPECT_EQ(plain.LastError().rfind("certificate not trusted (", 0), 0u) << plain.LastError();
    EXPECT_EQ(dir_.Entries(), Names{});
  }
  fw::DownloadSession trusting({}, CaFile(https_.AuthorityFile()));
  ASSERT_TRUE(trusting.Fetch(url, path)) << trusting.LastError();
  EXPECT_EQ(fw::ReadWholeFile(path), LoopbackServer::Pattern(1000));
  EXPECT_EQ(trusting.LastError(), "");
  EXPECT_TRUE(trusting.Notices().empty());
  // The extra bundle changes nothing for plain http.
  ASSERT_TRUE(trusting.Fetch(http_.Url("/bytes/10/y"), dir_ / "y")) << trusting.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "y"), LoopbackServer::Pattern(10));

  // Every certificate of a bundle counts, not only its first: two authorities
  // in one file, each server's fetched through one session.
  LoopbackServer other(LoopbackServer::Mode::kHttpsWithAuthority);
  const std::string both = files_ / "both.pem";
  fwtest::WriteFile(both, "Two test authorities\n" + fw::ReadWholeFile(other.AuthorityFile()) +
                              fw::ReadWholeFile(https_.AuthorityFile()));
  fw::DownloadSession twice({}, CaFile(both));
  EXPECT_TRUE(twice.Fetch(https_.Url("/bytes/20/a"), dir_ / "a")) << twice.LastError();
  EXPECT_TRUE(twice.Fetch(other.Url("/bytes/30/b"), dir_ / "b")) << twice.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "b"), LoopbackServer::Pattern(30));
  // The bundle is on top of the system's, never instead of it. That cannot be
  // shown offline: no server here has a certificate the system trusts, and
  // the test must not change the system's bundle.
}

// A bundle that cannot be used fails every https fetch with a reason naming it
// (a redirect to https included), keeps what the destination held, and leaves
// plain http alone.
TEST_F(DownloadTrustTest, AnUnusableBundleFailsEveryHttpsFetchNamingIt) {
  TempFolder folder;
  const std::string missing = files_ / "missing.pem";
  const std::string empty = files_ / "empty.pem";
  const std::string text = files_ / "text.pem";
  const std::string damaged = files_ / "damaged.pem";
  fwtest::WriteFile(empty, "");
  fwtest::WriteFile(text, "no certificate here, only words\n");
  fwtest::WriteFile(
      damaged, "-----BEGIN CERTIFICATE-----\nnot base64 at all !!!\n-----END CERTIFICATE-----\n");
  const std::string kept = dir_ / "kept";
  const std::string old = "yesterday's copy\n";
  for (const std::string& bundle : {missing, folder.Path(), empty, text, damaged}) {
    SCOPED_TRACE(bundle);
    fwtest::WriteFile(kept, old);
    fw::DownloadSession session({}, CaFile(bundle));
    const Names urls = {https_.Url("/bytes/1000/x"), https_.Url("/bytes/5/z"),
                        http_.Url("/redirect-to?url=" + https_.Url("/bytes/7/r"))};
    for (const std::string& url : urls) {
      SCOPED_TRACE(url);
      EXPECT_FALSE(session.Fetch(url, kept));
      EXPECT_TRUE(Contains(session.LastError(), bundle)) << session.LastError();
      EXPECT_EQ(fw::ReadWholeFile(kept), old);
      EXPECT_EQ(dir_.Entries(), Names{"kept"});
    }
    EXPECT_TRUE(session.Fetch(http_.Url("/bytes/100/h"), dir_ / "h")) << session.LastError();
    EXPECT_EQ(fw::ReadWholeFile(dir_ / "h"), LoopbackServer::Pattern(100));
    unlink((dir_ / "h").c_str());
  }
}

// An https answer that leads to plain http fails the fetch before anything is
// sent there, also after an earlier plain http hop; https after http is fine.
TEST_F(DownloadTrustTest, NoPlainHttpAfterAnHttpsHop) {
  LoopbackServer start;  // a plain http start, before the https hop
  fw::DownloadSession session({}, CaFile(https_.AuthorityFile()));
  const std::string target = http_.Url("/bytes/10");
  const Names urls = {
      WithLogin(https_.Url("/redirect-to?url=" + target), "u:Pw-s3cret"),
      https_.Url("/redirect-to?url=" + https_.Url("/redirect-to?url=" + target)),
      start.Url("/redirect-to?url=" + https_.Url("/redirect-to?url=" + target)),
  };
  const std::string kept = dir_ / "kept";
  fwtest::WriteFile(kept, "old");
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(session.Fetch(url, kept));
    EXPECT_EQ(session.LastError(), "redirect from https to http refused");
    EXPECT_FALSE(session.LastFetch().transient);
    EXPECT_EQ(fw::ReadWholeFile(kept), "old");
  }
  EXPECT_EQ(http_.Stats().connections, 0);
  EXPECT_EQ(http_.Stats().requests, 0);
  EXPECT_EQ(dir_.Entries(), Names{"kept"});
  // The session still fetches over http, and from http to https.
  ASSERT_TRUE(session.Fetch(target, dir_ / "a")) << session.LastError();
  ASSERT_TRUE(session.Fetch(start.Url("/redirect-to?url=" + https_.Url("/bytes/20")), dir_ / "b"))
      << session.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "b"), LoopbackServer::Pattern(20));
}

// Should a FIFO be opened for reading after all, a writer now and then lets
// that open return (to an empty file), so that a test fails instead of
// hanging.
class FifoUnblocker {
 public:
  explicit FifoUnblocker(std::string fifo)
      : thread_([this, fifo = std::move(fifo)] {
          while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) close(fd);
          }
        }) {}
  ~FifoUnblocker() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

class DownloadNetrcTest : public DownloadTrustTest {
 protected:
  // Writes the netrc file `name` in the home folder with `text` and `mode`.
  std::string Netrc(const std::string& text, mode_t mode, const std::string& name = ".netrc") {
    const std::string path = home_ / name;
    fwtest::WriteFile(path, text);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  TempFolder home_;
  // No netrc of the person running the tests may take part.
  fwtest::ScopedEnv homeEnv_{"HOME", home_.Path().c_str()};
};

TEST_F(DownloadNetrcTest, APrivateNetrcLogsIn) {
  const std::string url = http_.Url("/auth/u/p/100");
  {
    fw::DownloadSession none;
    EXPECT_FALSE(none.Fetch(url, dir_ / "a"));
    EXPECT_EQ(none.LastError(), "HTTP 401");
  }
  // The file given is read, wherever it is, not only ~/.netrc.
  for (const std::string name : {".netrc", "elsewhere"}) {
    SCOPED_TRACE(name);
    const std::string netrc = Netrc("machine 127.0.0.1 login u password p\n", 0600, name);
    fw::DownloadSession session({}, NetrcFile(netrc));
    EXPECT_TRUE(session.Notices().empty());
    ASSERT_TRUE(session.Fetch(url, dir_ / "a")) << session.LastError();
    EXPECT_EQ(fw::ReadWholeFile(dir_ / "a"), LoopbackServer::Pattern(100));
    // A login for another host is not sent here.
    EXPECT_FALSE(session.Fetch(http_.Url("/auth/v/q/10"), dir_ / "b"));
    EXPECT_EQ(session.LastError(), "HTTP 401");
    unlink(netrc.c_str());
  }
}

TEST_F(DownloadNetrcTest, ANetrcOthersMayReadIsNotUsed) {
  for (mode_t mode : {mode_t{0644}, mode_t{0640}, mode_t{0604}}) {
    SCOPED_TRACE(mode);
    const std::string netrc = Netrc("machine 127.0.0.1 login u password p\n", mode);
    fw::DownloadSession session({}, NetrcFile(netrc));
    ASSERT_EQ(session.Notices().size(), 1u);
    const std::string& notice = session.Notices()[0];
    EXPECT_TRUE(Contains(notice, netrc)) << notice;
    EXPECT_TRUE(Contains(notice, "not used")) << notice;
    EXPECT_TRUE(Contains(notice, "other")) << notice;
    EXPECT_FALSE(Contains(notice, "\n")) << notice;
    // Said once per session, not once per fetch.
    EXPECT_FALSE(session.Fetch(http_.Url("/auth/u/p/100"), dir_ / "a"));
    EXPECT_EQ(session.LastError(), "HTTP 401");
    EXPECT_FALSE(session.Fetch(http_.Url("/auth/u/p/100"), dir_ / "a"));
    EXPECT_EQ(session.Notices().size(), 1u);
    EXPECT_EQ(dir_.Entries(), Names{});
  }
}

TEST_F(DownloadNetrcTest, ALoginInTheUrlWinsOverTheNetrc) {
  const std::string url = http_.Url("/auth/u/p/100");
  {
    fw::DownloadSession session(
        {}, NetrcFile(Netrc("machine 127.0.0.1 login u password wrong\n", 0600)));
    EXPECT_TRUE(session.Fetch(WithLogin(url, "u:p"), dir_ / "a")) << session.LastError();
    EXPECT_EQ(fw::ReadWholeFile(dir_ / "a"), LoopbackServer::Pattern(100));
  }
  {
    fw::DownloadSession session({},
                                NetrcFile(Netrc("machine 127.0.0.1 login u password p\n", 0600)));
    EXPECT_FALSE(session.Fetch(WithLogin(url, "u:wrong"), dir_ / "b"));
    EXPECT_EQ(session.LastError(), "HTTP 401");
    // The netrc's login still serves a URL that carries none.
    EXPECT_TRUE(session.Fetch(url, dir_ / "b")) << session.LastError();
  }
}

// A netrc that is no regular file is not used and is said once, by its kind;
// the session never blocks on it. So is one too large to be a netrc.
TEST_F(DownloadNetrcTest, ANetrcThatIsNoRegularFileIsNotUsed) {
  const std::string fifo = home_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const FifoUnblocker unblocker(fifo);
  const std::string large = Netrc("machine 127.0.0.1 login u password p\n", 0600, "large");
  ASSERT_EQ(truncate(large.c_str(), off_t{2} << 30), 0);
  const std::string netrc = home_ / ".netrc";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {fifo, "is not a regular file (a FIFO), so it is not used"},
      {"/dev/zero", "is not a regular file (a character device), so it is not used"},
      {home_.Path(), "is not a regular file (a folder), so it is not used"},
      {large, "is larger than 1 MiB, so it is not used"},
  };
  for (const auto& [target, says] : cases) {
    SCOPED_TRACE(target);
    unlink(netrc.c_str());
    ASSERT_EQ(symlink(target.c_str(), netrc.c_str()), 0);
    fw::DownloadSession session({}, NetrcFile(netrc));
    EXPECT_EQ(session.Notices(), Names{netrc + " " + says});
    EXPECT_FALSE(session.Fetch(http_.Url("/auth/u/p/10"), dir_ / "a"));
    EXPECT_EQ(session.LastError(), "HTTP 401");
  }
  // No netrc at all is no news; a FIFO under the netrc's own name is refused.
  unlink(netrc.c_str());
  {
    fw::DownloadSession none({}, NetrcFile(netrc));
    EXPECT_EQ(none.Notices(), Names{});
  }
  ASSERT_EQ(mkfifo(netrc.c_str(), 0600), 0);
  fw::DownloadSession session({}, NetrcFile(netrc));
  EXPECT_EQ(session.Notices(), Names{netrc + " is not a regular file (a FIFO), so it is not used"});
  EXPECT_EQ(dir_.Entries(), Names{});
}

// The file checked is the file read: a netrc replaced by a FIFO after the
// session started is still the regular file it was.
TEST_F(DownloadNetrcTest, TheNetrcCheckedIsTheNetrcRead) {
  const std::string netrc = Netrc("machine 127.0.0.1 login u password p\n", 0600);
  fw::DownloadSession session({}, NetrcFile(netrc));
  ASSERT_EQ(unlink(netrc.c_str()), 0);
  ASSERT_EQ(mkfifo(netrc.c_str(), 0600), 0);
  const FifoUnblocker unblocker(netrc);
  ASSERT_TRUE(session.Fetch(http_.Url("/auth/u/p/10"), dir_ / "a")) << session.LastError();
  EXPECT_EQ(fw::ReadWholeFile(dir_ / "a"), LoopbackServer::Pattern(10));
}

}  // namespace
