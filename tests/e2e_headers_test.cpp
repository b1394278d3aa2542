// End-to-end: request headers from Settings.inf's [Download] HeadersFile, sent
// only where their prefix matches, and UserAgent; the data files made private,
// and the word said when a password is added to the list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

using Words = std::vector<std::string>;

class E2eHeadersTest : public ::testing::Test {
 protected:
  // The list, and Settings.inf with the program's folder as FolderPath, a
  // fixed date and `more` in section Download.
  void Prepare(const Words& entries, const std::string& more) const {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf", "[General]\nFolderPath=" + program_.Folder().Path() +
                                             "\n[Download]\nDateFormat=day\n" + more);
  }
  static size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }

  ProgramCopy program_{false};
};

// A token goes to the server its prefix names and nowhere else: not to
// another port, not after a redirect there (nor back), not over plain http.
TEST_F(E2eHeadersTest, HeadersGoOnlyWhereTheirPrefixMatches) {
  LoopbackServer a(LoopbackServer::Mode::kHttpsWithAuthority);  // demands the token
  LoopbackServer b(LoopbackServer::Mode::kHttpsWithAuthority);  // must never see it
  LoopbackServer c;                                             // plain http
  const std::string token = LoopbackServer::kBearerToken;
  const auto host = [](const LoopbackServer& s) { return "127.0.0.1:" + std::to_string(s.Port()); };
  WriteFile(program_ / "ca.pem", ReadFile(a.AuthorityFile()) + ReadFile(b.AuthorityFile()));
  const std::string headers = program_ / "headers";
  std::string lines = "# the API's token\n";
  for (const std::string& line : {
           "https://" + host(a) + " Authorization: Bearer " + token + "\r",  // CR LF
           "  HTTPS://" + host(a) + "/\tX-Trace:  a-only  ",
           "https://" + host(b) + " X-Other: b-only",
           "https://" + host(c) + " Authorization: Bearer " + token,  // never over http
           "http://" + host(c) + " X-Clear: c-only",
           "https://" + host(a) + " X-Evil: x\rInjected: yes",  // line 7: refused
           "https://" + host(a) + " Host: elsewhere",           // line 8: refused
       }) {
    lines += line + "\n";
  }
  WriteFile(headers, lines);
  ASSERT_EQ(chmod(headers.c_str(), 0600), 0);
  const std::string back =
      a.Url("/redirect-to?url=" + b.Url("/redirect-to?url=") + a.Url("/bearer/30/three.bin"));
  Prepare({a.Url("/bearer/10/one.bin"), a.Url("/redirect-to?url=" + b.Url("/bytes/20/two.bin")),
           back, b.Url("/bytes/40/four.bin"), c.Url("/bytes/50/five.bin")},
          "CAFile=" + (program_ / "ca.pem") +
              "\nHeadersFile=headers\nReportFile=report\nUserAgent=probe/1\n");

  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1) << run.errors;
  const std::string notUsed = ", so the line is not used";
  EXPECT_EQ(LinesOf(run.errors),
            (Words{"fetchwell: HeadersFile " + headers + " line 7: it holds a control character" +
                       notUsed,
                   "fetchwell: HeadersFile " + headers +
                       " line 8: Host is the program's own header" + notUsed,
                   "fetchwell: " + back + ": HTTP 401", "fetchwell: 1 of 5 entries failed"}));
  EXPECT_EQ(ReadFile(program_ / "one-day.bin"), LoopbackServer::Pattern(10));
  EXPECT_EQ(ReadFile(program_ / "two-day.bin"), LoopbackServer::Pattern(20));
  EXPECT_EQ(ReadFile(program_ / "four-day.bin"), LoopbackServer::Pattern(40));
  EXPECT_EQ(ReadFile(program_ / "five-day.bin"), LoopbackServer::Pattern(50));

  const std::string heardA = a.Heard(), heardB = b.Heard(), heardC = c.Heard();
  // A: the token on each entry's first request, not on the one a redirect
  // brought back from B.
  EXPECT_EQ(Count(heardA, "Authorization: Bearer " + token + "\n"), 3u) << heardA;
  EXPECT_EQ(Count(heardA, "X-Trace: a-only\n"), 3u) << heardA;
  // B hears its own header when asked directly, never after a redirect.
  EXPECT_EQ(Count(heardB, "X-Other: b-only\n"), 1u) << heardB;
  EXPECT_EQ(Count(heardC, "X-Clear: c-only\n"), 1u) << heardC;
  EXPECT_EQ(Count(heardC, "User-Agent: probe/1\n"), 1u) << heardC;
  for (const std::string& heard : {heardB, heardC}) {
    EXPECT_EQ(heard.find(token), std::string::npos) << heard;
    EXPECT_EQ(heard.find("a-only"), std::string::npos) << heard;
  }
  for (const std::string& heard : {heardA, heardB, heardC}) {
    EXPECT_EQ(heard.find("Injected"), std::string::npos) << heard;
    EXPECT_EQ(heard.find("elsewhere"), std::string::npos) << heard;
  }

  const RunResult list = program_.Run({"--list"});
  EXPECT_EQ(list.status, 0) << list.errors;
  EXPECT_NE(list.output.find("\nHeadersFile: 5 headers for 4 prefixes; 2 lines not used\n"),
            std::string::npos)
      << list.output;
  for (const std::string& shown :
       {run.errors, run.output, list.output, list.errors, ReadFile(program_ / "report")}) {
    EXPECT_EQ(shown.find(token), std::string::npos) << shown;
  }

  // A file others may read is not used, and said once.
  ASSERT_EQ(chmod(headers.c_str(), 0644), 0);
  Prepare({a.Url("/bearer/60/six.bin"), a.Url("/bearer/70/seven.bin")},
          "CAFile=" + (program_ / "ca.pem") + "\nHeadersFile=" + headers + "\n");
  const RunResult open = program_.Run({"-e"});
  EXPECT_EQ(open.status, 1) << open.errors;
  EXPECT_EQ(LinesOf(open.errors).front(),
            "fetchwell: HeadersFile " + headers +
                " may be read by other users, so it is not used; make it private with chmod 600");
  EXPECT_EQ(Count(open.errors, "HTTP 401\n"), 2u) << open.errors;
}

// "Files.dat" and "Settings.inf" are made private, and adding a password says
// once where it would be kept apart.
TEST_F(E2eHeadersTest, DataFilesArePrivateAndAPasswordAddedIsSaid) {
  program_.InChild([] { umask(022); });
  RunResult run = program_.Run({"-e"});  // makes the list file
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(Mode(program_ / "Files.dat"), 0600u);
  ASSERT_EQ(unlink((program_ / "Files.dat").c_str()), 0);

  const std::string secret = "Zq9-added-secret";
  run = program_.Run({"--add", "https://bob:" + secret + "@h/a", "http://h/b",
                      "ftp://eve:" + secret + "@h/c", "--folder", program_.Folder().Path()});
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors,
            "fetchwell: a password in a URL added is kept in the list in clear; ~/.netrc or a "
            "HeadersFile keep it apart from the list\n");
  EXPECT_EQ(Mode(program_ / "Files.dat"), 0600u);
  EXPECT_EQ(Mode(program_ / "Settings.inf"), 0600u);
}

}  // namespace
}  // namespace fwtest
