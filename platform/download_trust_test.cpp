// Whom a DownloadSession trusts and with what it logs in: an extra bundle of
// certificates, and a netrc file. Real loopback servers, real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/download.h"
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

}  // namespace
