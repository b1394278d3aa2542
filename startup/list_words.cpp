#include "startup/list_words.h"

#include <sys/stat.h>

#include <algorithm>

#include "run/download_settings.h"
#include "run/names.h"
#include "run/nearest_word.h"
#include "startup/fetchable_url.h"
#include "startup/run_report.h"

namespace modMain {

namespace {

std::string Line(const ListWord& word, const std::string& why) {
  return "fetchwell: " + word.name + ": " + why;
}

// `text` as it may be printed (a long one cut in the middle).
std::string Shown(const std::string& text) {
  return EscapeControls(ShownUrl(HidePassword(text)));
}

bool IsNumber(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::string> FolderRefusal(const ListWord& word) {
  if (word.args.empty()) return Line(word, "needs the absolute path of an existing folder");
  const std::string& path = word.args.front();
  const auto what = [&](const std::string& why) { return Line(word, why + ": " + Shown(path)); };
  if (path.empty() || path.front() != '/') return what("not an absolute path");
  if (HasControl(path)) {
    return what("a path holding control characters is not kept");
  }
  if (path.back() == ' ' || path.back() == '\t') {
    return what("a path ending in a space or tab is not kept");
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return what("no such folder");
  return std::nullopt;
}

std::optional<std::string> SetRefusal(const ListWord& word) {
  if (word.args.empty()) return Line(word, "needs at least one KEY=VALUE");
  for (const auto& text : word.args) {
    const auto equals = text.find('=');
    const std::string name = Trimmed(text.substr(0, equals));
    if (equals == std::string::npos || name.empty()) {
      // Not quoted: it may be a pasted header or token.
      return Line(word, "an argument is not KEY=VALUE");
    }
    const DownloadKey* key = FindDownloadKey(name);
    if (key == nullptr && LowerCase(name) == "folderpath") {
      return Line(word, "the download folder is set with --folder");
    }
    if (key == nullptr) {
      std::vector<std::string> names;
      for (const DownloadKey& k : DownloadKeys()) names.emplace_back(k.name);
      const auto nearest = NearestWord(name, names);
      return Line(word, (Quotable(name) ? "no key " + Shown(name) : std::string("no such key")) +
                            " in [Download]" +
                            (nearest ? "; did you mean " + *nearest + "?" : "; see --help"));
    }
    const std::string value = Trimmed(text.substr(equals + 1));
    if (HasControl(value)) {
      return Line(word,
                  std::string(key->name) + ": a value holding control characters is not kept");
    }
    DownloadSettings scratch;
    if (!value.empty() && !key->take(scratch, value)) {
      return Line(word, std::string(key->name) + "=" + Shown(value) + " is not valid (" +
                            key->valid() + ")");
    }
  }
  return std::nullopt;
}

}  // namespace

SettingChange ChangeOf(const std::string& text) {
  const auto equals = text.find('=');
  return {FindDownloadKey(Trimmed(text.substr(0, equals)))->name, Trimmed(text.substr(equals + 1))};
}

std::optional<std::string> Refusal(const ListWord& word) {
  switch (word.verb) {
    case ListVerb::kAdd:
      if (word.args.empty()) return Line(word, "needs at least one URL");
      for (const auto& url : word.args) {
        if (!IsFetchableUrl(url)) return Line(word, "not a URL the run can fetch: " + Shown(url));
      }
      return std::nullopt;
    case ListVerb::kRemove:
      if (word.args.empty()) return Line(word, "needs the number of at least one entry");
      for (const auto& number : word.args) {
        if (!IsNumber(number)) return Line(word, "not the number of an entry: " + Shown(number));
      }
      return std::nullopt;
    case ListVerb::kFolder:
      return FolderRefusal(word);
    case ListVerb::kSet:
      return SetRefusal(word);
    case ListVerb::kList:
    case ListVerb::kDryRun:
      break;
  }
  return std::nullopt;
}

std::optional<std::string> PositionsToRemove(const ListWord& word, int32_t count,
                                             std::vector<int>& positions) {
  positions.clear();
  for (const auto& number : word.args) {
    // Leading zeros aside, more digits than a count has name no entry.
    const auto first = number.find_first_not_of('0');
    const std::string digits = first == std::string::npos ? "" : number.substr(first);
    const long value = IsNumber(digits) && digits.size() <= 9 ? std::stol(digits) : 0;
    if (value < 1 || value > count) {
      positions.clear();
      return Line(word, "no entry numbered " + Shown(number) + " (the list has " +
                            std::to_string(count) + (count == 1 ? " entry)" : " entries)"));
    }
    positions.push_back(static_cast<int>(value - 1));
  }
  return std::nullopt;
}

}  // namespace modMain
