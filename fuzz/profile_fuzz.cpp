// Fuzzes the profile (INI) reader and writer. The input gives a section, a key,
// a value and the file's prior content.
//  - Reads never crash, and the buffer forms never write past their buffer and
//    always end what they wrote with a NUL.
//  - A write that reports failure leaves the file byte for byte as it was.
//  - A write of sane names (no line break or NUL, no blank at either end, a key
//    that is not empty, holds no "=" and does not begin with '[', ';' or '#')
//    succeeds, and reading the key gives the value back.
//  - A value write changes at most one line of the file and adds at most three
//    (blank line, section line, entry); every other line stays.
//  - Values under every other section and key read the same before and after.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_folder.h"
#include "platform/files.h"
#include "platform/profile.h"

using fuzz::Check;
namespace profile = fw::profile;

namespace {

constexpr std::string_view kBlank = " \t\r\n\v\f";

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool Trimmed(std::string_view s) {
  return s.empty() || (kBlank.find(s.front()) == std::string_view::npos &&
                       kBlank.find(s.back()) == std::string_view::npos);
}

std::string Trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(kBlank) - first + 1));
}

bool SaneName(std::string_view s) {
  return !HasLineBreakOrNul(s) && Trimmed(s);
}

bool SaneKey(std::string_view key) {
  return SaneName(key) && !key.empty() && key.find('=') == std::string_view::npos &&
         key.front() != '[' && key.front() != ';' && key.front() != '#';
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Splits a buffer form (NUL-separated pieces, `length` characters) into pieces.
std::vector<std::string> Pieces(const char* buffer, size_t length) {
  std::vector<std::string> pieces;
  std::string piece;
  for (size_t i = 0; i < length; ++i) {
    if (buffer[i] == '\0') {
      pieces.push_back(piece);
      piece.clear();
    } else {
      piece += buffer[i];
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

// Calls a buffer form with a heap buffer of exactly `size` characters, so that
// AddressSanitizer catches any write past it, and checks the NUL at its end.
template <typename Fill>
std::vector<std::string> ReadBuffer(size_t size, Fill fill) {
  std::unique_ptr<char[]> buffer(new char[size]);
  const size_t length = fill(buffer.get(), size);
  if (size == 0) {
    Check(length == 0, "nothing is written into an empty buffer");
    return {};
  }
  Check(length < size, "the result leaves room for the final NUL");
  Check(buffer[length] == '\0', "what was written ends with a NUL");
  return Pieces(buffer.get(), length);
}

// Every readable value, by lower-cased section and key.
using Values = std::map<std::pair<std::string, std::string>, std::string>;

Values ReadAll(const std::string& file) {
  Values values;
  const size_t kLarge = 1 << 16;
  for (const std::string& section : ReadBuffer(kLarge, [&](char*b, size_t n) {
         return profile::GetPrivateProfileSectionNames(b, n, file);
       })) {
    for (const std::string& entry : ReadBuffer(kLarge, [&](char*b, size_t n) {
           return profile::GetPrivateProfileSection(section, b, n, file);
         })) {
      const std::string key = entry.substr(0, entry.find('='));
      auto id = std::make_pair(Lower(section), Lower(key));
      if (values.count(id)) continue;  // the first entry of a key counts
      values[id] = profile::GetPrivateProfileString(section, key, "\x01missing", file);
    }
  }
  return values;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// Whether `after` is `before` with at most `replaced` lines changed and at most
// `added` more lines, all in one place.
bool OneLocalEdit(const std::string& before, const std::string& after, size_t replaced,
                  size_t added) {
  const std::vector<std::string> a = Lines(before);
  const std::vector<std::string> b = Lines(after);
  size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  return a.size() - prefix - suffix <= replaced && b.size() - prefix - suffix <= replaced + added;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool writeSection = input.ConsumeBool();
  const size_t smallBuffer = input.ConsumeIntegralInRange<size_t>(0, 64);
  const std::string section = input.ConsumeRandomLengthString(40);
  const std::string key = input.ConsumeRandomLengthString(40);
  const std::string value = input.ConsumeRandomLengthString(80);
  const std::string before = input.ConsumeRemainingBytesAsString();

  const std::string file = fuzz::ScratchFolder() + "/Settings.inf";
  fuzz::WriteRaw(file, before);

  // Reads of any file, with buffers small and large.
  const std::string got = profile::GetPrivateProfileString(section, key, "default", file);
  // A value ends at its line's LF, and a NUL ends what is read of a line.
  Check(got.find_first_of(std::string_view("\n\0", 2)) == std::string::npos,
        "a value read is one line's text");
  ReadBuffer(smallBuffer, [&](char* b, size_t n) {
    return profile::GetPrivateProfileSection(section, b, n, file);
  });
  ReadBuffer(smallBuffer,
             [&](char* b, size_t n) { return profile::GetPrivateProfileSectionNames(b, n, file); });
  const Values valuesBefore = ReadAll(file);

  const bool sane = SaneName(section) && SaneKey(key) && SaneName(value);
  int result;
  if (writeSection) {
    const std::string contents = key + "=" + value + std::string(1, '\0');
    result = profile::WritePrivateProfileSection(section, contents, file);
  } else {
    result = profile::WritePrivateProfileString(section, key, value, file);
  }
  const std::string after = fw::ReadWholeFile(file);
  if (result == 0) {
    Check(after == before, "a failed write leaves the file as it was");
    Check(!sane, "a write of sane names succeeds");
    return 0;
  }

  if (sane) {
    Check(profile::GetPrivateProfileString(section, key, "\x01missing", file) == value,
          "a written value reads back");
  } else if (!writeSection && !HasLineBreakOrNul(section + key + value)) {
    // Names and values with blanks at their ends are stored trimmed.
    Check(profile::GetPrivateProfileString(section, key, "\x01missing", file) == Trim(value),
          "a written value reads back trimmed");
  }
  if (writeSection) {
    const std::vector<std::string> entries = ReadBuffer(1 << 16, [&](char* b, size_t n) {
      return profile::GetPrivateProfileSection(section, b, n, file);
    });
    if (sane) {
      Check(entries.size() == 1 && entries[0] == key + "=" + value,
            "a written section reads back as its one entry");
    }
  } else {
    Check(OneLocalEdit(before, after, 1, 3), "a value write keeps every other line");
  }

  // Every value under another section, or under another key of the written
  // section when only a value was written, reads as before.
  const std::string writtenSection = Lower(Trim(section));
  const std::string writtenKey = Lower(Trim(key));
  const Values valuesAfter = ReadAll(file);
  for (const auto& [id, old] : valuesBefore) {
    if (id.first == writtenSection && (writeSection || id.second == writtenKey)) continue;
    auto now = valuesAfter.find(id);
    Check(now != valuesAfter.end() && now->second == old, "other values stay");
  }
  return 0;
}
