// End-to-end: the command line's question words (--help, --version), the man
// page against the usage, and `make install` / `make uninstall` into a
// temporary prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "tests/fixtures/program_copy.h"

#ifndef FETCHWELL_SOURCE_DIR
#error "FETCHWELL_SOURCE_DIR must name the source tree"
#endif

namespace fwtest {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

const std::string kSource = FETCHWELL_SOURCE_DIR;
const std::string kManPage = kSource + "/doc/fetchwell.1";
const std::string kVersion = std::string("fetchwell ") + FETCHWELL_VERSION + "\n";

std::string Shown(const Args& args) {
  std::string shown;
  for (const auto& a : args) shown += "[" + a + "]";
  return shown;
}

TEST(E2eCliTest, FirstQuestionAnswersBeforeAnythingIsLoaded) {
  ProgramCopy program(false);  // no window module, no display
  const RunResult help = program.Run({"--help"});
  const std::string& usage = help.output;
  EXPECT_EQ(usage.rfind("Usage: fetchwell", 0), 0u) << usage;
  std::istringstream lines(usage);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 80u) << line;
  }
  const std::vector<std::pair<Args, std::string>> cases = {
      {{"-h"}, usage},           {{"-e", "--help"}, usage}, {{"--help", "-V"}, usage},
      {{"--version"}, kVersion}, {{"-V"}, kVersion},        {{"x", "-V", "-h"}, kVersion},
      {{"-s", "-V"}, kVersion},
  };
  for (const auto& [words, answer] : cases) {
    const RunResult run = program.Run(words);
    EXPECT_EQ(run.status, 0) << Shown(words) << run.errors;
    EXPECT_EQ(run.output, answer) << Shown(words);
    EXPECT_EQ(run.errors, "") << Shown(words);
  }
  EXPECT_EQ(help.status, 0);
  EXPECT_FALSE(fs::exists(program / "Files.dat")) << "a question loaded the list";

  // An answer that cannot be written is an error, not a silent success.
  program.InChild([] { dup2(open("/dev/full", O_WRONLY), 1); });
  const RunResult full = program.Run({"--help"});
  EXPECT_EQ(full.status, 2);
  EXPECT_EQ(full.errors.rfind("fetchwell: cannot write to standard output: ", 0), 0u)
      << full.errors;
}

TEST(E2eCliTest, OtherSpellingsAreOrdinaryWordsOrEndTheProgram) {
  const ProgramCopy program(false);
  for (const Args& words :
       std::vector<Args>{{"-e --help"}, {"-H", "-E"}, {"-v", "-e"}, {"-hV", "-e"}}) {
    fs::remove(program / "Files.dat");
    const RunResult run = program.Run(words);
    EXPECT_EQ(run.status, 0) << Shown(words) << run.errors;
    EXPECT_EQ(run.output, "") << Shown(words);
    EXPECT_TRUE(fs::exists(program / "Files.dat")) << Shown(words) << ": the run did not happen";
  }
  // A long word in another spelling is a mistake: nothing is done.
  for (const Args& words : std::vector<Args>{{"--HELP", "-e"}, {"--help=1", "-e"}}) {
    fs::remove(program / "Files.dat");
    const RunResult run = program.Run(words);
    EXPECT_EQ(run.status, 2) << Shown(words);
    EXPECT_NE(run.errors.find("did you mean --help?"), std::string::npos) << run.errors;
    EXPECT_FALSE(fs::exists(program / "Files.dat")) << Shown(words);
  }
}

TEST(E2eCliTest, ManPageFormatsWithoutWarnings) {
  const RunResult groff = RunToEnd("groff", {"-man", "-ww", "-z", kManPage});
  EXPECT_EQ(groff.status, 0) << "groff missing? it is in scripts/packages/test";
  EXPECT_EQ(groff.errors, "");
}

// "[Section]/Key" for every key, from lines "[Section]" and "Key=..." that
// `entry` (one capture: the text) and `section` (likewise) find.
std::set<std::string> Keys(const std::string& text, const std::regex& section,
                           const std::regex& entry) {
  std::set<std::string> keys;
  std::string current = "?";
  std::istringstream lines(text);
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, m, section)) current = m[1];
    if (std::regex_match(line, m, entry)) keys.insert(current + "/" + m[1].str());
  }
  return keys;
}

TEST(E2eCliTest, UsageAndManPageNameTheSameSettings) {
  const ProgramCopy program(false);
  const std::string usage = program.Run({"--help"}).output;
  const std::string man = ReadFile(kManPage);
  const auto start = man.find("\n.SH SETTINGS\n");
  ASSERT_NE(start, std::string::npos);
  const std::string settings = man.substr(start + 1, man.find("\n.SH ", start + 1) - start);

  const auto fromUsage = Keys(usage, std::regex(R"( {4}(\[\w+\]))"), std::regex(R"( {4}(\w+)=.*)"));
  const auto fromMan =
      Keys(settings, std::regex(R"re(\.SS "?(\[\w+\])"?)re"), std::regex(R"(\.BI? (\w+)=.*)"));
  EXPECT_EQ(fromUsage, fromMan);
  EXPECT_GE(fromUsage.size(), 2u) << usage;
}

// Everything under `root`, relative, folders with a trailing "/"; links are
// not followed.
std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    tree.insert(e.is_directory() && !e.is_symlink() ? rel + "/" : rel);
  }
  return tree;
}

// Both cases run in one test: each install rewrites the build's manifest,
// which ExpectInstalled reads, so two installs must never overlap.
class E2eInstallTest : public ::testing::Test {
 protected:
  // `make <target>` in the source tree over the built tree, without building.
  // An outer make's settings are not handed on.
  RunResult Make(const std::string& target, const std::string& prefix) {
    Args args{"-s", "-C", kSource, "BUILD=" FETCHWELL_BINARY_DIR};
    // The tree is built: neither a build nor a package check is made.
    for (const char* done : {"deps", "program", "build"}) args.insert(args.end(), {"-o", done});
    args.push_back(target);
    if (!prefix.empty()) args.push_back("PREFIX=" + prefix);
    return RunToEnd(
        "make", args,
        {{"HOME", home_}, {"MAKEFLAGS", ""}, {"MAKELEVEL", ""}, {"MFLAGS", ""}, {"DESTDIR", ""}});
  }

  // The layout is in place under `prefix` and the program runs through its link.
  void ExpectInstalled(const std::string& prefix) {
    const std::string lib = prefix + "/lib/fetchwell/";
    for (const char* file :
         {"lib/fetchwell/fetchwell", "lib/fetchwell/fetchwell-window.so",
          "share/applications/fetchwell.desktop", "share/icons/hicolor/scalable/apps/fetchwell.svg",
          "share/man/man1/fetchwell.1"}) {
      EXPECT_TRUE(fs::is_regular_file(prefix + "/" + file)) << file;
    }
    EXPECT_EQ(ReadFile(prefix + "/share/man/man1/fetchwell.1"), ReadFile(kManPage));
    EXPECT_NE(ReadFile(prefix + "/share/applications/fetchwell.desktop")
                  .find("Exec=\"" + prefix + "/bin/fetchwell\"\n"),
              std::string::npos);
    EXPECT_EQ(fs::read_symlink(prefix + "/bin/fetchwell"), "../lib/fetchwell/fetchwell");
    // Installed stripped: no symbol table and no debugging sections.
    for (const char* file : {"fetchwell", "fetchwell-window.so"}) {
      const RunResult sections = RunToEnd("readelf", {"-S", "-W", lib + file});
      EXPECT_EQ(sections.status, 0) << file << ": " << sections.errors;
      EXPECT_NE(sections.output.find(".dynsym"), std::string::npos) << file;
      EXPECT_EQ(sections.output.find(".symtab"), std::string::npos) << file;
      EXPECT_EQ(sections.output.find(".debug_"), std::string::npos) << file;
    }
    const RunResult version = RunToEnd(prefix + "/bin/fetchwell", {"--version"});
    EXPECT_EQ(version.output, kVersion) << version.errors;
    EXPECT_FALSE(fs::exists(lib + "Files.dat"));

    // cmake's own manifest names every file written, the link and the desktop
    // entry included.
    std::set<std::string> manifest;
    std::istringstream lines(ReadFile(FETCHWELL_BINARY_DIR "/install_manifest.txt"));
    for (std::string line; std::getline(lines, line);) manifest.insert(line);
    for (const auto& path : Tree(prefix)) {
      if (path.back() != '/' && path != "share/applications/other.desktop") {
        EXPECT_EQ(manifest.count(prefix + "/" + path), 1u) << path;
      }
    }
  }

  // The default prefix, with folders and a menu entry of the user's there
  // before, and a list made by a run in between.
  void DefaultPrefixKeepsTheUsersDataAndFolders() {
    const std::string prefix = home_ + "/.local";
    fs::create_directories(prefix + "/bin");
    fs::create_directories(prefix + "/share/applications");
    WriteFile(prefix + "/share/applications/other.desktop", "");
    const auto before = Tree(top_.Path());

    const RunResult install = Make("install", "");
    ASSERT_EQ(install.status, 0) << install.errors;
    ExpectInstalled(prefix);
    // Started through the link, the program keeps its list beside itself.
    EXPECT_EQ(RunToEnd(prefix + "/bin/fetchwell", {"-e"}).status, 0);
    ASSERT_TRUE(fs::exists(prefix + "/lib/fetchwell/Files.dat"));

    const RunResult uninstall = Make("uninstall", "");
    EXPECT_EQ(uninstall.status, 0) << uninstall.errors;
    EXPECT_NE(uninstall.errors.find("Files.dat"), std::string::npos) << "no word of the kept list";
    auto expected = before;
    expected.insert(
        {"home/.local/lib/", "home/.local/lib/fetchwell/", "home/.local/lib/fetchwell/Files.dat"});
    EXPECT_EQ(Tree(top_.Path()), expected);
  }

  // A prefix with a space in it, installed twice, leaves nothing behind.
  void ReinstallThenUninstallLeavesNothing() {
    const std::string prefix = top_ / "pre fix";  // quoted through make, cmake and Exec=
    fs::create_directories(home_);
    WriteFile(top_ / "outside", "x");
    const auto before = Tree(top_.Path());

    for (int i = 0; i < 2; ++i) {
      const RunResult install = Make("install", prefix);
      ASSERT_EQ(install.status, 0) << install.errors;
    }
    ExpectInstalled(prefix);
    // A damaged record never reaches beyond the prefix.
    const std::string record = prefix + "/lib/fetchwell/install_manifest.txt";
    WriteFile(record, ReadFile(record) + "../outside\n");

    const RunResult uninstall = Make("uninstall", prefix);
    EXPECT_EQ(uninstall.status, 0) << uninstall.errors;
    EXPECT_EQ(Tree(prefix), std::set<std::string>{});
    auto expected = before;
    expected.insert("pre fix/");  // the prefix itself is the user's choice, kept
    EXPECT_EQ(Tree(top_.Path()), expected);
    EXPECT_EQ(Make("uninstall", prefix).status, 0) << "a second uninstall has nothing to do";
  }

  const TempFolder top_;
  const std::string home_ = top_ / "home";
};

TEST_F(E2eInstallTest, InstallAndUninstall) {
  {
    SCOPED_TRACE("default prefix");
    DefaultPrefixKeepsTheUsersDataAndFolders();
  }
  {
    SCOPED_TRACE("PREFIX with a space");
    ReinstallThenUninstallLeavesNothing();
  }
}

}  // namespace
}  // namespace fwtest
