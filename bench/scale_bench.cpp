// Scale benchmark driver: a list of 100,000 URLs loaded, saved, and shown in the
// window, and the memory of a download run by its length. Prints medians and
// peak memory; it checks its results but is no test.
//
//   scale_bench core FOLDER     load and save timings of the list store alone
//   scale_bench window FOLDER   the program's load and the window filled and
//                               shown (QT_QPA_PLATFORM=offscreen unless set)
//   scale_bench run FOLDER N    a download run of N entries of one tiny local
//                               file, each of its own name: how much the
//                               run's peak memory rises above the loaded list
//
// FOLDER is an empty scratch folder; "Files.dat" is written there.
#include <malloc.h>
#include <sys/resource.h>

#include <QApplication>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "store/clsFiles.h"
#include "ui/frmMain.h"
#include "ui/window/main_window.h"

namespace {

constexpr int kEntries = 100000;
constexpr int kRuns = 7;

using Clock = std::chrono::steady_clock;

double Millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// URLs of the lengths people keep: host, a path of a few folders, a dated name.
clsFiles MakeList() {
  clsFiles list;
  for (int i = 0; i < kEntries; ++i) {
    list.AddFile("https://reports" + std::to_string(i % 37) + ".example.org/archive/" +
                 std::to_string(2000 + i % 26) + "/q" + std::to_string(i % 4 + 1) +
                 "/daily-report-" + std::to_string(i) + (i % 5 ? ".pdf" : ".tar.gz"));
  }
  return list;
}

void Report(const char* what, double ms, double target) {
  std::printf("  %-44s %8.1f ms   (target < %.0f ms: %s)\n", what, ms, target,
              ms < target ? "met" : "MISSED");
}

int Core(const std::string& folder) {
  const std::string path = folder + "/Files.dat";
  clsFiles list = MakeList();
  std::vector<double> saves, loads;
  for (int run = 0; run < kRuns; ++run) {
    auto t0 = Clock::now();
    list.SaveData(path);
    auto t1 = Clock::now();
    clsFiles loaded;
    loaded.LoadData(path);
    auto t2 = Clock::now();
    if (loaded.Count() != std::to_string(kEntries - 1) ||
        loaded.File(kEntries - 1) != list.File(kEntries - 1)) {
      std::fprintf(stderr, "scale_bench: the list did not load back whole\n");
      return 1;
    }
    saves.push_back(Millis(t1 - t0));
    loads.push_back(Millis(t2 - t1));
  }
  std::printf("list store, %d URLs, median of %d runs:\n", kEntries, kRuns);
  Report("SaveData (written, flushed to disk, renamed)", Median(saves), 100);
  Report("LoadData", Median(loads), 100);
  std::printf("  peak memory %.1f MiB\n", PeakRssMiB());
  return 0;
}

int Window(int argc, char** argv, const std::string& folder) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  MakeList().SaveData(folder + "/Files.dat");
  frmMain::UseProgramFolder(folder);
  // The first run is the one a user waits for: it also starts the toolkit.
  std::unique_ptr<QApplication> app;
  double first = 0;
  std::vector<double> loads, shows;
  for (int run = 0; run < kRuns; ++run) {
    auto t0 = Clock::now();
    if (!app) app = std::make_unique<QApplication>(argc, argv);
    frmMain& form = frmMain::Instance();
    form.LoadData();
    auto t1 = Clock::now();
    {
      MainWindow window(form);
      window.show();
      while (!window.windowHandle() || !window.windowHandle()->isExposed()) {
        QCoreApplication::processEvents();
      }
      window.repaint();  // the first frame, list rows included, drawn now
      auto t2 = Clock::now();
      if (run == 0) first = Millis(t2 - t0);
      loads.push_back(Millis(t1 - t0));
      shows.push_back(Millis(t2 - t0));
      if (form.Files().Count() != std::to_string(kEntries - 1)) {
        std::fprintf(stderr, "scale_bench: the window does not hold the list\n");
        return 1;
      }
    }
    frmMain::Unload();
  }
  std::printf("window, %d URLs:\n", kEntries);
  Report("first start: toolkit, LoadData, window shown", first, 1000);
  std::printf("  median of %d runs:\n", kRuns);
  Report("LoadData (list, settings, in-memory display)", Median(loads), 1000);
  Report("LoadData + window filled and shown", Median(shows), 1000);
  std::printf("  peak memory %.1f MiB\n", PeakRssMiB());
  return 0;
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in MiB.
double StatusMiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string word;
  while (status >> word) {
    if (word == key + ":") {
      double kib = 0;
      status >> kib;
      return kib / 1024.0;
    }
  }
  return -1;
}

// The run's own memory: the peak is reset once the list is loaded (and freed
// memory given back), so the list, which the program holds whatever the run
// does, is not counted; what the run adds on top of it is.
int Run(const std::string& folder, int entries) {
  const std::string source = folder + "/source.bin";
  std::ofstream(source) << "tiny\n";
  clsFiles list;
  for (int i = 0; i < entries; ++i) {
    list.AddFile("file://" + source + "#/entry-" + std::to_string(i) + ".bin");
  }
  list.SaveData(folder + "/Files.dat");
  std::ofstream(folder + "/Settings.inf") << "[General]\nFolderPath=" << folder << "/out\n";
  std::filesystem::create_directories(folder + "/out");
  frmMain::UseProgramFolder(folder);
  frmMain& form = frmMain::Instance();
  form.LoadData();
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";  // VmHWM from here on
  const double loaded = StatusMiB("VmRSS");
  const auto t0 = Clock::now();
  const int failed = form.DownloadFiles();
  const double took = Millis(Clock::now() - t0);
  std::printf("run, %d entries of one local file: %d failed, %.0f ms\n", entries, failed, took);
  std::printf("  list loaded %.1f MiB, run's peak %.1f MiB: +%.2f MiB\n", loaded,
              StatusMiB("VmHWM"), StatusMiB("VmHWM") - loaded);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc != (mode == "run" ? 4 : 3)) {
    std::fprintf(stderr, "usage: %s core|window FOLDER, or run FOLDER ENTRIES\n", argv[0]);
    return 2;
  }
  try {
    if (mode == "run") return Run(argv[2], std::atoi(argv[3]));
    if (mode == "core") return Core(argv[2]);
    if (mode == "window") return Window(argc, argv, argv[2]);
  } catch (const fw::Error& e) {
    std::fprintf(stderr, "scale_bench: error %d: %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
  std::fprintf(stderr, "scale_bench: unknown mode %s\n", mode.c_str());
  return 2;
}
