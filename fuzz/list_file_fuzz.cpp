// Fuzzes the list file loader: the input is the whole content of a "Files.dat".
//  - Loading never crashes and never allocates more entries than a file of
//    that size could hold.
//  - A load that fails raises error 321 naming the file, and leaves both the
//    list and the file as they were.
//  - A load never changes the file.
//  - What loads, saves and loads back equal, entry for entry, and saving that
//    again gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_folder.h"
#include "platform/error.h"
#include "platform/files.h"
#include "store/clsFiles.h"

using fuzz::Check;

namespace {

bool SameEntries(const clsFiles& a, const clsFiles& b) {
  if (a.Count() != b.Count()) return false;
  const int32_t upper = std::stoi(a.Count());
  for (int32_t i = 0; i <= upper; ++i) {
    if (a.File(i) != b.File(i)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string listPath = fuzz::ScratchFolder() + "/Files.dat";
  const std::string savedPath = fuzz::ScratchFolder() + "/Saved.dat";
  fuzz::WriteRaw(listPath, bytes);

  clsFiles loaded;
  loaded.AddFile("entry before the load");
  try {
    loaded.LoadData(listPath);
  } catch (const fw::Error& e) {
    Check(e.Number() == fw::kInvalidFileFormat, "a failed load raises 321");
    Check(e.Description().find(listPath) != std::string::npos, "the error names the file");
    Check(loaded.Count() == "0" && loaded.File(0) == "entry before the load",
          "a failed load leaves the list as it was");
    Check(fw::ReadWholeFile(listPath) == bytes, "a failed load leaves the file as it was");
    return 0;
  }
  Check(fw::ReadWholeFile(listPath) == bytes, "a load leaves the file as it was");

  // Memory in proportion to the file: each entry but a lone one takes at least
  // its 2-byte length field.
  const long long entries = std::stoll(loaded.Count()) + 1;
  Check(entries >= 0, "Count is at least -1");
  Check(entries <= 1 || 4 + 2 * static_cast<unsigned long long>(entries) <= size,
        "no more entries than the file could hold");

  loaded.SaveData(savedPath);
  const std::string saved = fw::ReadWholeFile(savedPath);
  clsFiles reloaded;
  reloaded.LoadData(savedPath);
  Check(SameEntries(loaded, reloaded), "a saved list loads back equal");
  reloaded.SaveData(savedPath);
  Check(fw::ReadWholeFile(savedPath) == saved, "saving a reloaded list gives the same bytes");

  // A file whose records all fill it exactly is what a save writes: it comes
  // back byte for byte. (Any negative count means the empty list, saved as -1.)
  if (entries > 0 && saved.size() == size)
    Check(saved == bytes, "a canonical file round-trips byte for byte");
  return 0;
}
