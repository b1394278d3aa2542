#include "run/download_settings.h"

#include <algorithm>
#include <map>
#include <set>
#include <type_traits>

#include "fetch/download.h"
#include "fetch/retry.h"
#include "run/nearest_word.h"

namespace {

constexpr char kSection[] = "Download";
constexpr char kGeneral[] = "General";
constexpr long kLongestTimeLimit = 86400;  // a day
constexpr long kLongestRun = 604800;       // a week
constexpr long kMostKeptCopies = 1000000;
constexpr size_t kLongestShownValue = 100;  // bytes of a value quoted in a line
// How a line is said whose text before its "=" is not to be quoted.
const std::string kNoKeyLine = "a line whose text before \"=\" is no key name";
// Bytes of a date: any real one is far shorter, and a longer one would leave
// no room for the rest of a name on a file system of short names.
constexpr size_t kLongestDate = 100;

// `value` as quoted in a line: whole, or, when longer than kLongestShownValue,
// its start and "..." (never cut inside a UTF-8 character), so that a huge
// stored value does not flood standard error.
std::string Shown(const std::string& value) {
  if (value.size() <= kLongestShownValue) return value;
  size_t cut = kLongestShownValue;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return value.substr(0, cut) + "...";
}

// `text` as a whole number of decimal digits, or nullopt; a number above
// `most` (of any length) gives `most`.
std::optional<long> WholeNumber(const std::string& text, long most) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  long value = 0;
  for (char digit : text) {
    value = value * 10 + (digit - '0');
    if (value > most) return most;  // more digits only make it larger
  }
  return value;
}

// A key whose value is a whole number from `Least` to `Most` (larger ones
// counting as `Most`), kept in `Field`.
template <auto Field, long Least, long Most>
DownloadKey WholeKey(const char* name, const char* placeholder, const char* help) {
  return {
      name,
      placeholder,
      help,
      [] { return "a whole number from " + std::to_string(Least) + " to " + std::to_string(Most); },
      [](DownloadSettings& s, const std::string& text) {
        const std::optional<long> value = WholeNumber(text, Most);
        if (!value || *value < Least) return false;
        s.*Field = static_cast<std::remove_reference_t<decltype(s.*Field)>>(*value);
        return true;
      },
      [](const DownloadSettings& s) { return std::to_string(s.*Field); }};
}

// A key that takes any text, kept in `Field`.
template <auto Field>
DownloadKey TextKey(const char* name, const char* placeholder, const char* help) {
  return {name,
          placeholder,
          help,
          [] { return std::string("any text"); },
          [](DownloadSettings& s, const std::string& text) {
            s.*Field = text;
            return true;
          },
          [](const DownloadSettings& s) { return s.*Field; }};
}

// A key of two values, `Off` and `On`, kept in the bool `Field`.
constexpr char kZero[] = "0", kOne[] = "1", kUrl[] = "url", kPath[] = "path";
template <auto Field, const char* Off, const char* On>
DownloadKey ChoiceKey(const char* name, const char* placeholder, const char* help) {
  return {name,
          placeholder,
          help,
          [] { return std::string(Off) + " or " + On; },
          [](DownloadSettings& s, const std::string& text) {
            if (text != Off && text != On) return false;
            s.*Field = text == On;
            return true;
          },
          [](const DownloadSettings& s) { return std::string(s.*Field ? On : Off); }};
}

bool TakeUserAgent(DownloadSettings& s, const std::string& text) {
  if (HasControl(text)) return false;
  s.userAgent = text;
  return true;
}

bool TakeDateFormat(DownloadSettings& s, const std::string& format) {
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  localtime_r(&now, &today);
  if (!UsableDate(format, today)) return false;
  s.dateFormat = format;
  return true;
}

std::vector<DownloadKey> MakeKeys() {
  using S = DownloadSettings;
  return {
      WholeKey<&S::connectTimeout, 1, kLongestTimeLimit>(
          "ConnectTimeout", "S", "give up connecting after S seconds (default 30, at most 86400)"),
      WholeKey<&S::stallTimeout, 1, kLongestTimeLimit>(
          "StallTimeout", "S",
          "fail a transfer that moves no data for S seconds (default 60, at most 86400)"),
      WholeKey<&S::retries, 0, fw::kMostRetries>(
          "Retries", "N",
          "try a fetch that failed in a way that may pass again up to N times (default 2, at "
          "most 10; 0 turns retries off)"),
      WholeKey<&S::parallel, 1, fw::DownloadSession::kMostParallel>(
          "Parallel", "N",
          "fetch up to N entries at once, with at most N connections to one host (default 6, "
          "at most 32; 1: one after the other); over HTTP/2 a host takes up to 16 times N at "
          "once (100 at most), as streams of one connection"),
      ChoiceKey<&S::skipUnchanged, kZero, kOne>(
          "SkipUnchanged", "0|1",
          "1: a file unchanged on the server is not fetched again but copied from the last "
          "snapshot (default 0)"),
      WholeKey<&S::keepCopies, 0, kMostKeptCopies>(
          "KeepCopies", "N",
          "keep the newest N snapshots of each URL, deleting older ones the program made "
          "(default 0: keep them all); renamed or copied files are never deleted"),
      {"DateFormat", "FMT",
       "the date in file names, a strftime format with \"/\" turned into \"-\" (default %x; "
       "e.g. %F)",
       [] {
         return "a strftime format giving a date of 1 to " + std::to_string(kLongestDate) +
                " bytes without control characters";
       },
       TakeDateFormat, [](const S& s) { return s.dateFormat; }},
      TextKey<&S::caFile>("CAFile", "FILE", "an extra PEM bundle of trusted certificates"),
      WholeKey<&S::runTimeout, 1, kLongestRun>(
          "RunTimeout", "S",
          "end a run after S seconds, its unfinished entries failing (default 82800, at most "
          "604800)"),
      TextKey<&S::reportFile>("ReportFile", "FILE",
                              "append one JSON line per entry and one per run to FILE "
                              "(relative: in the program's folder)"),
      TextKey<&S::headersFile>("HeadersFile", "FILE",
                               "request headers by URL prefix, from a private FILE (relative: "
                               "in the program's folder)"),
      {"UserAgent", "TEXT", "the User-Agent header (default fetchwell/" FETCHWELL_VERSION ")",
       [] { return std::string("text without control characters"); }, TakeUserAgent,
       [](const S& s) { return s.userAgent; }},
      ChoiceKey<&S::namesByPath, kUrl, kPath>(
          "Names", "url|path",
          "how files are named (default url): url, from the URL's text after its last \"/\"; "
          "path, from the last segment of its path, decoded, without query (data.tar.gz gives "
          "data-DATE.tar.gz, README gives README-DATE)"),
  };
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::vector<std::string> KeyNames() {
  std::vector<std::string> names;
  for (const DownloadKey& key : DownloadKeys()) names.emplace_back(key.name);
  return names;
}

// "; did you mean <nearest>?" when one of `known` is near `name`, else "".
std::string Nearest(const std::string& name, const std::vector<std::string>& known,
                    const std::string& before = "", const std::string& after = "") {
  const auto nearest = modMain::NearestWord(name, known);
  return nearest ? "; did you mean " + before + *nearest + after + "?" : "";
}

}  // namespace

bool HasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool Quotable(const std::string& key) {
  constexpr size_t kLongestQuoted = 24;
  return !key.empty() && key.size() <= kLongestQuoted &&
         std::all_of(key.begin(), key.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
         });
}

namespace {

// The lines of `unused` for the sections of the file as written. A line
// that is no known key is quoted only when Quotable: it may be pasted text,
// such as a password or a header.
void SayUnused(DownloadSettings& out, const std::vector<fw::profile::SectionLayout>& layout) {
  const auto say = [&out](const std::string& line) {
    out.unused.push_back("Settings.inf: " + line);
  };
  // Where a key of section "Download" put elsewhere belongs.
  const auto belongs = [](const std::string& key) {
    return FindDownloadKey(key) ? std::string("; it belongs in [Download]") : std::string();
  };
  std::set<std::string> sections;  // in lower case, each said or read once
  for (const fw::profile::SectionLayout& section : layout) {
    if (!section.headed) {
      for (const auto& [key, hasEquals] : section.entries) {
        say((FindDownloadKey(key) || (hasEquals && Quotable(key)) ? Shown(key)
             : hasEquals                                          ? kNoKeyLine
                                                                  : "a line without \"=\"") +
            " above the first section is not read" + belongs(key));
      }
      continue;
    }
    const std::string lower = LowerCase(section.name);
    const bool download = lower == LowerCase(kSection);
    const bool general = lower == LowerCase(kGeneral);
    const std::string where = " in [" + Shown(section.name) + "]";
    if (!sections.insert(lower).second) {
      if (download || general) {
        say("section [" + Shown(section.name) + "] is given again; only the first is read");
      }
      continue;
    }
    if (!download && !general) {
      say("section [" + Shown(section.name) + "] is not known and is not read" +
          Nearest(section.name, {kGeneral, kSection}, "[", "]"));
      continue;
    }
    const std::vector<std::string> known =
        download ? KeyNames() : std::vector<std::string>{"FolderPath"};
    std::map<std::string, int> seen;  // each key in lower case: how often so far
    for (const auto& entry : section.entries) {
      const std::string& key = entry.key;
      const bool hasEquals = entry.hasEquals;
      const int times = ++seen[LowerCase(key)];
      const bool isKnown = std::any_of(known.begin(), known.end(), [&](const std::string& k) {
        return LowerCase(k) == LowerCase(key);
      });
      if (isKnown && times == 2) {
        say(Shown(key) + " is given twice" + where + "; the first is read");
      } else if (!isKnown && !hasEquals && times == 1) {
        say("a line without \"=\"" + where + " is not read");
      } else if (!isKnown && times == 1 && !Quotable(key)) {
        say(kNoKeyLine + where + " is not read");
      } else if (!isKnown && times == 1) {
        say(Shown(key) + where + " is not a known key and is not read" +
            (general && FindDownloadKey(key) ? belongs(key) : Nearest(key, known)));
      }
    }
  }
}

}  // namespace

std::span<const DownloadKey> DownloadKeys() {
  static const std::vector<DownloadKey> keys = MakeKeys();
  return keys;
}

const DownloadKey* FindDownloadKey(std::string_view name) {
  const std::string lower = LowerCase(name);
  for (const DownloadKey& key : DownloadKeys()) {
    if (LowerCase(key.name) == lower) return &key;
  }
  return nullptr;
}

std::optional<std::string> UsableDate(const std::string& format, const std::tm& when) {
  char buf[kLongestDate + 1];
  // strftime gives 0 both for an empty date and for one that does not fit.
  std::string date(buf, std::strftime(buf, sizeof buf, format.c_str(), &when));
  if (date.empty() || HasControl(date)) return std::nullopt;
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

DownloadSettings ReadDownloadSettings(clsSettings& settings) {
  DownloadSettings out;
  for (const DownloadKey& key : DownloadKeys()) {
    const std::string value = settings.GetString(kSection, key.name, "");
    if (value.empty() || key.take(out, value)) continue;
    out.invalid.push_back(std::string("Settings.inf: ") + key.name + "=" + Shown(value) +
                          " is not valid (" + key.valid() + "); " + key.shown(out) + " is used");
  }
  SayUnused(out, settings.Layout());
  return out;
}
