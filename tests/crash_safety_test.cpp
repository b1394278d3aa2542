// Kills the program (SIGKILL, which nothing can catch) at many moments of a Save
// of a large list and of the download of large files, and checks after each
// kill that nothing is lost or half-written:
//  - "Files.dat" is exactly the old list file or exactly the new one, and loads;
//    so is "Settings.inf";
//  - a download's destination is absent, the old bytes, or the whole new body;
//  - every other file left behind is a hidden temporary file (".fetchwell-..."),
//    a name no download can have, and the next whole run removes those.
// The kill moments are spread at random over the time a whole run takes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/files.h"
#include "store/clsFiles.h"
#include "tests/fixtures/loopback_server.h"
#include "tests/fixtures/program_copy.h"
#include "tests/fixtures/temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSaveKills = 150;
constexpr int kDownloadKills = 80;

std::string BuildDir() {
  const char* dir = std::getenv("FETCHWELL_BUILD_DIR");
  return dir ? dir : ".";
}

// crash_safety_saver in its "serve" mode: each Save() starts a process that
// saves over the list file at once, already holding both lists.
class Saver {
 public:
  Saver(const std::string& saver, const std::string& folder) {
    int toSaver[2], fromSaver[2];
    if (pipe2(toSaver, O_CLOEXEC) != 0 || pipe2(fromSaver, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toSaver[0], STDIN_FILENO);
      dup2(fromSaver[1], STDOUT_FILENO);
      execl(saver.c_str(), saver.c_str(), "serve", folder.c_str(), nullptr);
      _exit(127);
    }
    close(toSaver[0]);
    close(fromSaver[1]);
    commands_ = fdopen(toSaver[1], "w");
    answers_ = fdopen(fromSaver[0], "r");
  }
  ~Saver() {
    if (commands_) fclose(commands_);
    if (answers_) fclose(answers_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }

  // Starts a process making `saves` saves (0: until killed); its pid, or -1.
  pid_t Save(int saves) {
    std::string answer = Ask("save " + std::to_string(saves));
    return answer.empty() ? -1 : static_cast<pid_t>(std::stol(answer));
  }
  // Waits for a process that Save() started to end.
  void Reap(pid_t pid) { Ask("reap " + std::to_string(pid)); }

 private:
  std::string Ask(const std::string& command) {
    if (!commands_ || !answers_) return {};
    std::fprintf(commands_, "%s\n", command.c_str());
    std::fflush(commands_);
    char line[64];
    return std::fgets(line, sizeof line, answers_) ? line : "";
  }

  pid_t pid_ = -1;
  FILE* commands_ = nullptr;
  FILE* answers_ = nullptr;
};

// The names in `folder` that are not in `known`. Hidden temporary files are
// checked, counted in `*temporaries` and removed; they must never be visible.
std::vector<std::string> OtherFiles(const fwtest::TempFolder& folder,
                                    const std::vector<std::string>& known, int* temporaries,
                                    bool removeTemporaries = true) {
  std::vector<std::string> others;
  for (const std::string& name : folder.Entries()) {
    if (std::find(known.begin(), known.end(), name) != known.end()) continue;
    if (name.rfind(".fetchwell-", 0) == 0) {
      ++*temporaries;
      if (removeTemporaries) std::filesystem::remove(folder / name);
      continue;
    }
    others.push_back(name);
  }
  return others;
}

class CrashSafetyTest : public ::testing::Test {
 protected:
  std::mt19937 random_{std::random_device{}()};

  Clock::duration RandomMoment(Clock::duration span) {
    std::uniform_int_distribution<long> pick(
        0, std::chrono::duration_cast<std::chrono::microseconds>(span).count());
    return std::chrono::microseconds(pick(random_));
  }
};

TEST_F(CrashSafetyTest, SaveKilledAtAnyMomentLeavesTheOldOrTheNewFiles) {
  const std::string saver = BuildDir() + "/tests/crash_safety_saver";
  fwtest::TempFolder folder;
  const std::string listFile = folder / "Files.dat";
  const std::string settingsFile = folder / "Settings.inf";
  fwtest::WriteFile(folder / "start.inf",
                    "; written by hand\n[General]\nFolderPath=/home/me/first\n\n[Download]\n"
                    "StallTimeout=120\n");
  ASSERT_EQ(fwtest::RunToEnd(saver, {"reference", folder.Path()}).status, 0);
  const std::string oldList = fw::ReadWholeFile(folder / "old.dat");
  const std::string newList = fw::ReadWholeFile(folder / "new.dat");
  const std::string oldSettings = fw::ReadWholeFile(folder / "old.inf");
  const std::string newSettings = fw::ReadWholeFile(folder / "new.inf");
  ASSERT_NE(oldList, newList);
  ASSERT_NE(oldSettings, newSettings);
  clsFiles oldLoaded, newLoaded;
  oldLoaded.LoadData(folder / "old.dat");
  newLoaded.LoadData(folder / "new.dat");
  const std::vector<std::string> known = {"Files.dat", "Settings.inf", "start.inf", "old.dat",
                                          "new.dat",   "old.inf",      "new.inf"};

  // Kill moments are spread over the time four saves take.
  fwtest::WriteFile(listFile, oldList);
  fwtest::WriteFile(settingsFile, oldSettings);
  Saver saves(saver, folder.Path());
  const auto start = Clock::now();
  const pid_t measured = saves.Save(4);
  ASSERT_GT(measured, 0);
  saves.Reap(measured);
  const Clock::duration span = Clock::now() - start;
  ASSERT_EQ(fw::ReadWholeFile(listFile), oldList);
  ASSERT_EQ(fw::ReadWholeFile(settingsFile), oldSettings);

  int sawOld = 0, sawNew = 0, temporaries = 0;
  for (int round = 0; round < kSaveKills; ++round) {
    const pid_t pid = saves.Save(0);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(RandomMoment(span));
    kill(pid, SIGKILL);
    saves.Reap(pid);
    const std::string list = fw::ReadWholeFile(listFile);
    ASSERT_TRUE(list == oldList || list == newList)
        << "kill " << round << ": Files.dat is neither the old nor the new list (" << list.size()
        << " bytes)";
    (list == oldList ? sawOld : sawNew)++;
    clsFiles loaded;
    loaded.LoadData(listFile);
    EXPECT_EQ(loaded.Count(), (list == oldList ? oldLoaded : newLoaded).Count());
    const std::string settings = fw::ReadWholeFile(settingsFile);
    ASSERT_TRUE(settings == oldSettings || settings == newSettings)
        << "kill " << round << ": Settings.inf is neither the old nor the new one:\n"
        << settings;
    const auto others = OtherFiles(folder, known, &temporaries);
    ASSERT_TRUE(others.empty()) << "kill " << round << " left " << others.front();
  }
  // The kills landed on both sides of a save. (Kills inside a save mostly leave
  // nothing: the temporary file has no name until just before its rename.)
  EXPECT_GT(sawOld, 0);
  EXPECT_GT(sawNew, 0);
}

TEST_F(CrashSafetyTest, DownloadKilledAtAnyMomentLeavesNoPartialFile) {
  fwtest::LoopbackServer server;
  const fwtest::ProgramCopy program(false);
  fwtest::TempFolder downloads;

  // Two large files: one sent slowly, one as fast as loopback goes.
  constexpr size_t kSlowSize = 2'000'000, kFastSize = 16'000'000;
  clsFiles list;
  list.AddFile(server.Url("/slow/2000000/snapshot.bin?rate=10000000"));
  list.AddFile(server.Url("/bytes/16000000/big.bin"));
  list.SaveData(program / "Files.dat");
  const std::string listBytes = fw::ReadWholeFile(program / "Files.dat");
  fwtest::WriteFile(program / "Settings.inf", "[General]\nFolderPath=" + downloads.Path() + "\n");
  const std::string slowName = "snapshot-" + fwtest::TodayInTheCLocale() + ".bin?rate=10000000";
  const std::string fastName = "big-" + fwtest::TodayInTheCLocale() + ".bin";
  const std::string slowBody = fwtest::LoopbackServer::Pattern(kSlowSize);
  const std::string fastBody = fwtest::LoopbackServer::Pattern(kFastSize);
  const std::string oldBody = "yesterday's snapshot\n";

  const auto start = Clock::now();
  ASSERT_EQ(program.Run({"-e"}).status, 0);
  Clock::duration span = Clock::now() - start;
  ASSERT_EQ(fw::ReadWholeFile(downloads / slowName), slowBody);
  ASSERT_EQ(fw::ReadWholeFile(downloads / fastName), fastBody);
  span += span / 10;

  int complete = 0, old = 0, absent = 0, temporaries = 0;
  for (int round = 0; round < kDownloadKills; ++round) {
    // Every other round starts with yesterday's files in place, so that the
    // run replaces them, the others with none. Hidden temporary files that
    // kills leave stay, for the runs that follow to clean up.
    const bool withOld = round % 2 == 0;
    for (const std::string& name : downloads.Entries()) {
      if (name[0] != '.') std::filesystem::remove(downloads / name);
    }
    if (withOld) {
      fwtest::WriteFile(downloads / slowName, oldBody);
      fwtest::WriteFile(downloads / fastName, oldBody);
    }
    const pid_t pid = program.Start({"-e"});
    std::this_thread::sleep_for(RandomMoment(span));
    kill(pid, SIGKILL);
    program.Finish(pid);

    // Yesterday's files are never lost.
    if (withOld) {
      ASSERT_TRUE(fw::IsRegularFile(downloads / slowName)) << "kill " << round;
      ASSERT_TRUE(fw::IsRegularFile(downloads / fastName)) << "kill " << round;
    }
    // Every visible file is whole: yesterday's or the complete download. (Its
    // name is matched by its start, in case the date changes meanwhile.)
    absent += 2;
    for (const std::string& name : OtherFiles(downloads, {}, &temporaries, false)) {
      const bool slow = name.rfind("snapshot-", 0) == 0;
      ASSERT_TRUE(slow || name.rfind("big-", 0) == 0) << "kill " << round << " left " << name;
      const std::string bytes = fw::ReadWholeFile(downloads / name);
      const std::string& body = slow ? slowBody : fastBody;
      ASSERT_TRUE(bytes == body || (withOld && bytes == oldBody))
          << "kill " << round << ": " << name << " is partial (" << bytes.size() << " bytes)";
      (bytes == body ? complete : old)++;
      --absent;
    }
    ASSERT_EQ(fw::ReadWholeFile(program / "Files.dat"), listBytes);
  }
  EXPECT_GT(complete, 0);
  EXPECT_GT(old + absent, 0);

  // A run after all those kills fetches both files whole, and removes what
  // the killed runs left: the folder is clean again.
  ASSERT_EQ(program.Run({"-e"}).status, 0);
  EXPECT_EQ(fw::ReadWholeFile(downloads / slowName), slowBody);
  EXPECT_EQ(fw::ReadWholeFile(downloads / fastName), fastBody);
  std::vector<std::string> left = downloads.Entries();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{fastName, slowName}))
      << temporaries << " temporary files were seen after kills";
}

// A run that replaces the day's files (a second run the same day) names each
// new file just before its rename; kills there leave hidden temporary files,
// and the next run removes them, unless a live run holds them.
TEST_F(CrashSafetyTest, KilledReplacingRunsLeaveNothingTheNextRunKeeps) {
  fwtest::LoopbackServer server;
  const fwtest::ProgramCopy program(false);
  fwtest::TempFolder downloads;
  constexpr int kEntries = 300, kKills = 40;
  clsFiles list;
  for (int i = 0; i < kEntries; ++i) {
    list.AddFile(server.Url("/bytes/3000/f" + std::to_string(i) + ".bin"));
  }
  list.SaveData(program / "Files.dat");
  fwtest::WriteFile(program / "Settings.inf", "[General]\nFolderPath=" + downloads.Path() + "\n");
  const std::string body = fwtest::LoopbackServer::Pattern(3000);

  const auto start = Clock::now();
  ASSERT_EQ(program.Run({"-e"}).status, 0);
  const Clock::duration span = Clock::now() - start;

  int temporaries = 0;
  for (int round = 0; round < kKills; ++round) {
    const pid_t pid = program.Start({"-e"});
    std::this_thread::sleep_for(RandomMoment(span));
    kill(pid, SIGKILL);
    program.Finish(pid);
    int leftNow = 0;
    const auto named = OtherFiles(downloads, {}, &leftNow, false);
    temporaries += leftNow;
    ASSERT_EQ(named.size(), static_cast<size_t>(kEntries)) << "kill " << round;
    for (const std::string& name : named) {
      ASSERT_EQ(fw::ReadWholeFile(downloads / name), body) << "kill " << round << ": " << name;
    }
  }
  ASSERT_EQ(program.Run({"-e"}).status, 0);
  int leftAtEnd = 0;
  EXPECT_EQ(OtherFiles(downloads, {}, &leftAtEnd, false).size(), static_cast<size_t>(kEntries));
  EXPECT_EQ(leftAtEnd, 0) << "kills left " << temporaries << " temporary files over the rounds";
}

}  // namespace
