// End-to-end: entries that share a file name, and names and URLs of extreme
// lengths, through the built fetchwell against loopback servers (one of them
// speaking HTTP/2). The file on disk, the "replaces" line and the report file
// must all name the last entry of a name in the list.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <string>
#include <vector>

#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"

namespace fwtest {
namespace {

using Words = std::vector<std::string>;

class E2eNamesTest : public ::testing::Test {
 protected:
  void Prepare(const Words& entries, const std::string& download) {
    WriteFile(program_ / "Files.dat", ListFileBytes(entries));
    WriteFile(program_ / "Settings.inf", "[General]\nFolderPath=" + program_.Folder().Path() +
                                             "\n[Download]\nReportFile=report.jsonl\n" + download);
  }
  std::string Dated(const std::string& stem, const std::string& extension) const {
    return program_ / (stem + "-" + today_ + "." + extension);
  }
  // Whether the file holds the `size` pattern bytes of entry `url`, says so
  // in its record, and the report and the "replaces" line agree.
  void ExpectWinner(const std::string& file, size_t size, const std::string& url,
                    const std::string& earlier, const RunResult& run) const {
    EXPECT_TRUE(ReadFile(file) == LoopbackServer::Pattern(size)) << "not the bytes of " << url;
    EXPECT_EQ(RecordValue(file, "url"), url);
    const std::string name = file.substr(file.rfind('/') + 1);
    EXPECT_NE(run.errors.find("fetchwell: " + url + ": replaces " + name +
                              ", fetched earlier in this run from " + earlier + "\n"),
              std::string::npos)
        << run.errors;
  }

  ProgramCopy program_;
  const std::string today_ = TodayInTheCLocale();
};

// Parallel=2. Entry 1 shows the program that the HTTP/2 host multiplexes;
// entries 2 and 3 then hold both connections to plain hosts until entry 5
// pokes them, or for 2 s. Entry 4 has to wait for a connection; entry 5, to the
// HTTP/2 host, has room, yet must wait for entry 4, which is of its name.
TEST_F(E2eNamesTest, TheLastEntryOfANameWinsWhenItsHostHasRoomFirst) {
  LoopbackServer plain;
  LoopbackServer h2(LoopbackServer::Mode::kHttp2WithAuthority);
  const std::string release = plain.Url("/bytes/1?done=names");
  const std::string earlier = plain.Url("/bytes/2000?n=/x.bin");
  const std::string later = h2.Url("/bytes/3000?poke=" + release + "&n=/x.bin");
  const Words entries = {h2.Url("/bytes/100?n=/f1.bin"),
                         plain.Url("/hold/names/1?timeout=2&size=10&n=/s1.bin"),
                         plain.Url("/hold/names/1?timeout=2&size=20&n=/s2.bin"), earlier, later};
  Prepare(entries, "Parallel=2\nCAFile=" + h2.AuthorityFile() + "\n");
  const RunResult run = program_.Run({"-e"});
  ASSERT_EQ(run.status, 0) << run.errors;
  ExpectWinner(Dated("x", "bin"), 3000, later, earlier, run);
  const Words report = LinesOf(ReadFile(program_ / "report.jsonl"));
  ASSERT_EQ(report.size(), 6u);
  EXPECT_NE(report[4].find("\"url\":\"" + later + "\",\"file\":\"" + Dated("x", "bin")),
            std::string::npos)
      << report[4];
}

// A name too long for the folder with its date is shortened before the fetch:
// a 249-byte name is fetched into a dated name of 255 bytes, and a 65,000-byte
// URL's name as well. A failure of such a URL is one short line, the URL cut
// in the middle, while the report file keeps the URL whole.
TEST_F(E2eNamesTest, LongNamesAreShortenedAndLongURLsShownCut) {
  LoopbackServer server;
  const std::string fits = server.Url("/bytes/1000?n=/" + std::string(245, 's') + ".bin");
  std::string huge = server.Url("/bytes/10?n=/");
  huge += std::string(65000 - huge.size(), 'h');
  std::string missing = server.Url("/status/404?n=/");
  missing += std::string(65000 - missing.size(), 'm');
  Prepare({fits, huge, missing}, "");
  const RunResult run = program_.Run({"-e"});
  EXPECT_EQ(run.status, 1) << run.errors.substr(0, 1000);

  const std::string tail = "-" + today_ + ".bin";
  const std::string shortened = program_ / (std::string(255 - tail.size(), 's') + tail);
  EXPECT_TRUE(ReadFile(shortened) == LoopbackServer::Pattern(1000));
  const std::string dated = "-" + today_ + ".";
  EXPECT_TRUE(ReadFile(program_ / (dated + std::string(255 - dated.size(), 'h'))) ==
              LoopbackServer::Pattern(10));

  const Words lines = LinesOf(run.errors);
  ASSERT_EQ(lines.size(), 2u) << run.errors.substr(0, 1000);
  EXPECT_LT(lines[0].size(), 600u);
  EXPECT_TRUE(lines[0].starts_with("fetchwell: " + missing.substr(0, 200))) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(missing.substr(missing.size() - 200) + ": HTTP 404"));
  EXPECT_NE(lines[0].find("m\xE2\x80\xA6m"), std::string::npos) << lines[0];
  const std::string report = ReadFile(program_ / "report.jsonl");
  EXPECT_NE(report.find("\"url\":\"" + missing + "\""), std::string::npos);
  EXPECT_LT(report.size(), 3 * 66000u) << "each URL once, none repeated in a reason";
}

// Names=path: each name is the last segment of the URL's path, decoded; the
// query, the fragment and an encoded "/" or ".." never shape it, and no name
// begins with "-". The dry run shows the names the run makes.
TEST_F(E2eNamesTest, NamesOfThePathRule) {
  LoopbackServer server;
  const Words paths = {"/bytes/1/v.txt?v=1.2",
                       "/bytes/2/from.txt?from=a/b",
                       "/bytes/3/frag.txt#part2",
                       "/bytes/4/with%20space.txt",
                       "/bytes/5/na%C3%AFve.txt",
                       "/bytes/6/README",
                       "/bytes/7/data.tar.gz",
                       "/bytes/8/..%2F%2e%2e%00.%C0%AF",
                       "/bytes/9/-rf",
                       "/",
                       "/bytes/11/dir/"};
  const Words names = {"v-D.txt",
                       "from-D.txt",
                       "frag-D.txt",
                       "with space-D.txt",
                       "na\xC3\xAFve-D.txt",
                       "README-D",
                       "data-D.tar.gz",
                       "%2F-D..%00.%C0%AF",
                       "rf-D",
                       "index-D",
                       "index-D"};
  Words urls;
  for (const std::string& path : paths) urls.push_back(server.Url(path));
  Prepare(urls, "Names=path\n");
  const RunResult dry = program_.Run({"--dry-run"});
  const RunResult run = program_.Run({"-e"});
  ASSERT_EQ(run.status, 0) << run.errors;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = names[i];
    name.replace(name.find("-D") + 1, 1, today_);
    EXPECT_NE(dry.output.find(urls[i] + " -> " + (program_ / name) + "\n"), std::string::npos)
        << name << "\n"
        << dry.output;
    if (i + 2 == names.size()) continue;  // "/dir/" replaces "/"
    EXPECT_TRUE(ReadFile(program_ / name) == LoopbackServer::Pattern(i + 1)) << name;
  }
  EXPECT_EQ(program_.Folder().Entries().size(), 15u) << "10 names and the program's 5 files";
  EXPECT_NE(run.errors.find(urls.back() + ": replaces index-"), std::string::npos) << run.errors;
}

}  // namespace
}  // namespace fwtest
