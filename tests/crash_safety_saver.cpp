// Helper of crash_safety_test: does what the window's Save does, with one of two
// large URL lists and one of two folders, again and again, so that the test can
// kill it at any moment of a save.
//
//   crash_safety_saver reference FOLDER
//       writes the files a Save leaves with the "old" list and folder
//       (FOLDER/old.dat, FOLDER/old.inf) and with the "new" ones (new.dat,
//       new.inf), the settings files written over FOLDER/start.inf
//   crash_safety_saver serve FOLDER
//       builds both lists, then answers commands read one a line on standard
//       input, until its end:
//         save N    starts a copy of itself (fork) that saves the new list and
//                   folder, then the old, then the new... over FOLDER/Files.dat
//                   and FOLDER/Settings.inf, N times in all (0: until killed),
//                   and answers with that copy's pid
//         reap PID  waits for that copy to end and answers "ended"
//       Each save so starts at once, without the cost of starting a program.
//
// Exit status 0 when done, 2 on an error (printed on standard error).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/profile.h"
#include "store/clsFiles.h"

namespace {

// The two lists differ in entry count, lengths and bytes, so that any mix of
// the two, or a cut-off file, is told apart from both. Each has an empty entry
// and one of the longest length the file format allows.
clsFiles MakeList(bool isNew) {
  clsFiles list;
  const int count = isNew ? 24000 : 18000;
  for (int i = 0; i < count; ++i) {
    std::string url = "http://reports.example/" + std::string(isNew ? "new/" : "old/archive/") +
                      std::to_string(i * 7919 % 100003) + (i % 3 ? ".pdf" : ".tar.gz");
    list.AddFile(url);
  }
  list.AddFile("");
  list.AddFile(std::string(65535, isNew ? 'n' : 'o'));
  return list;
}

const char* Folder(bool isNew) {
  return isNew ? "/srv/snapshots/new" : "/srv/old-snapshots";
}

// Saves as the window's Save does: the list file, then the folder.
void Save(clsFiles& list, bool isNew, const std::string& listFile,
          const std::string& settingsFile) {
  list.SaveData(listFile);
  if (fw::profile::WritePrivateProfileString("General", "FolderPath", Folder(isNew),
                                             settingsFile) == 0) {
    throw fw::Error(fw::kFileAccess, "cannot write " + settingsFile);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s reference|serve FOLDER\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  const std::string folder = argv[2];
  try {
    clsFiles oldList = MakeList(false);
    clsFiles newList = MakeList(true);
    if (mode == "reference") {
      namespace fs = std::filesystem;
      fs::copy_file(folder + "/start.inf", folder + "/old.inf");
      fs::copy_file(folder + "/start.inf", folder + "/new.inf");
      Save(oldList, false, folder + "/old.dat", folder + "/old.inf");
      Save(newList, true, folder + "/new.dat", folder + "/new.inf");
      return 0;
    }
    if (mode == "serve") {
      char line[64];
      while (std::fgets(line, sizeof line, stdin)) {
        long n = 0;
        if (std::sscanf(line, "save %ld", &n) == 1) {
          pid_t pid = fork();
          if (pid == 0) {
            try {
              for (long i = 0; n == 0 || i < n; ++i) {
                const bool isNew = i % 2 == 0;
                Save(isNew ? newList : oldList, isNew, folder + "/Files.dat",
                     folder + "/Settings.inf");
              }
            } catch (const fw::Error& e) {
              std::fprintf(stderr, "crash_safety_saver: error %d: %s\n", e.Number(),
                           e.Description().c_str());
              _exit(2);
            }
            _exit(0);
          }
          std::printf("%ld\n", static_cast<long>(pid));
        } else if (std::sscanf(line, "reap %ld", &n) == 1) {
          int status = 0;
          waitpid(static_cast<pid_t>(n), &status, 0);
          std::printf("ended\n");
        }
        std::fflush(stdout);
      }
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "crash_safety_saver: %s\n", e.what());
    return 2;
  }
  std::fprintf(stderr, "crash_safety_saver: unknown mode %s\n", mode.c_str());
  return 2;
}
