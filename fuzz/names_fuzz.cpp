// Fuzzes the name helpers that build a download's destination path. The input
// is used whole as a URL, a file name and a folder; every helper must keep its
// promise for any bytes, and the destination built from them must stay a plain,
// visible file inside the folder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_folder.h"
#include "run/names.h"

using fuzz::Check;

namespace {

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool hasSlash = text.find('/') != std::string::npos;
  const bool hasDot = text.find('.') != std::string::npos;

  const std::string fixed = modMain::FixPath(text);
  Check(EndsWith(fixed, "/"), "FixPath ends in /");
  Check(fixed == (EndsWith(text, "/") ? text : text + "/"), "FixPath adds one / only when missing");

  const std::string name = modMain::GetFileFromURL(text);
  Check(name.find('/') == std::string::npos, "GetFileFromURL has no /");
  Check(EndsWith(text, name), "GetFileFromURL is the URL's tail");
  Check(hasSlash ? text.size() > name.size() && text[text.size() - name.size() - 1] == '/'
                 : name == text,
        "GetFileFromURL cuts at the last /");

  const std::string stem = modMain::StripExtension(text);
  Check(stem.find('.') == std::string::npos, "StripExtension has no .");
  Check(StartsWith(text, stem), "StripExtension is the name's head");
  Check(hasDot ? text[stem.size()] == '.' : stem.empty(), "StripExtension cuts at the first .");

  const std::string ext = modMain::GetExtension(text);
  Check(ext.find('.') == std::string::npos, "GetExtension has no .");
  Check(EndsWith(text, ext), "GetExtension is the name's tail");
  Check(hasDot ? text[text.size() - ext.size() - 1] == '.' : ext == text,
        "GetExtension cuts at the last .");

  // A destination as the download run builds it. Its file name is never hidden
  // (so never a temporary file's name), never "." or "..", and stays inside
  // the folder.
  const std::string leaf =
      modMain::StripExtension(name) + "-01-02-03." + modMain::GetExtension(name);
  const std::string destination = modMain::FixPath("/downloads") + leaf;
  Check(!StartsWith(leaf, "."), "a destination's name is never hidden");
  Check(leaf.find('/') == std::string::npos, "a destination stays in its folder");
  Check(StartsWith(destination, "/downloads/"), "a destination begins with its folder");

  // The path rule's name, whole and cut to a short limit: never empty, never
  // hidden or like an option, no "/" and no control byte.
  const std::string segment = modMain::PathSegmentName(text);
  Check(!segment.empty() && !StartsWith(segment, ".") && !StartsWith(segment, "-"),
        "a path name is never empty, hidden or an option");
  for (unsigned char c : segment) {
    Check(c != '/' && c >= 0x20 && c != 0x7f, "a path name has no / and no control byte");
  }
  for (size_t limit : {size_t{255}, size_t{14}}) {
    fw::NameShape shape = modMain::NameShapeOf(text, modMain::NameRule::kPath);
    modMain::FitNameShape(shape, modMain::NameRule::kPath, 8, limit);
    const std::string dated = modMain::DatedName(shape, "01-02-03");
    Check(dated.size() <= limit, "a path name fits its limit");
    Check(
        !StartsWith(dated, ".") && !StartsWith(dated, "-") && dated.find('/') == std::string::npos,
        "a dated path name stays a visible name in its folder");
  }
  return 0;
}
