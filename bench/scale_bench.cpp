// Scale benchmark driver: a list of 100,000 URLs loaded, saved, and shown in the
// window. Prints medians and peak memory; it checks its results but is no test.
//
//   scale_bench core FOLDER     load and save timings of the list store alone
//   scale_bench window FOLDER   the program's load and the window filled and
//                               shown (QT_QPA_PLATFORM=offscreen unless set)
//
// FOLDER is an empty scratch folder; "Files.dat" is written there.
#include <sys/resource.h>

#include <QApplication>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s core|window FOLDER\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  try {
    if (mode == "core") return Core(argv[2]);
    if (mode == "window") return Window(argc, argv, argv[2]);
  } catch (const fw::Error& e) {
    std::fprintf(stderr, "scale_bench: error %d: %s\n", e.Number(), e.Description().c_str());
    return 1;
  }
  std::fprintf(stderr, "scale_bench: unknown mode %s\n", mode.c_str());
  return 2;
}
