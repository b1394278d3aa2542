// Helper of crash_safety_test: saves one of two large URL lists over a list file,
// again and again, so that the test can kill it at any moment of a save.
//
//   crash_safety_saver reference <old-file> <new-file>
//       saves the "old" list to <old-file> and the "new" one to <new-file>, once
//   crash_safety_saver loop <list-file> <saves>
//       saves the new list, then the old, then the new... over <list-file>,
//       <saves> times in all (0: until killed); writes "ready" on standard
//       output when the lists are built and the first save begins
//
// Exit status 0 when done, 2 on an error (printed on standard error).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "store/clsFiles.h"

namespace {

// The two lists differ in entry count, lengths and bytes, so that any mix of
// the two, or a cut-off file, is told apart from both. Each has an empty entry
// and one of the longest length the file format allows.
clsFiles MakeList(bool isNew) {
  clsFiles list;
  const int count = isNew ? 60000 : 45000;
  for (int i = 0; i < count; ++i) {
    std::string url = "http://reports.example/" + std::string(isNew ? "new/" : "old/archive/") +
                      std::to_string(i * 7919 % 100003) + (i % 3 ? ".pdf" : ".tar.gz");
    list.AddFile(url);
  }
  list.AddFile("");
  list.AddFile(std::string(65535, isNew ? 'n' : 'o'));
  return list;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s reference OLD NEW | loop FILE SAVES\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  try {
    clsFiles oldList = MakeList(false);
    clsFiles newList = MakeList(true);
    if (mode == "reference") {
      oldList.SaveData(argv[2]);
      newList.SaveData(argv[3]);
      return 0;
    }
    if (mode == "loop") {
      const long saves = std::strtol(argv[3], nullptr, 10);
      std::fputs("ready\n", stdout);
      std::fflush(stdout);
      for (long i = 0; saves == 0 || i < saves; ++i) (i % 2 ? oldList : newList).SaveData(argv[2]);
      return 0;
    }
  } catch (const fw::Error& e) {
    std::fprintf(stderr, "crash_safety_saver: error %d: %s\n", e.Number(), e.Description().c_str());
    return 2;
  }
  std::fprintf(stderr, "crash_safety_saver: unknown mode %s\n", mode.c_str());
  return 2;
}
