#include "run/download_settings.h"

#include <algorithm>

#include "fetch/download.h"
#include "fetch/retry.h"

namespace {

constexpr char kSection[] = "Download";
constexpr long kLongestTimeLimit = 86400;  // a day
constexpr long kLongestRun = 604800;       // a week
constexpr long kMostKeptCopies = 1000000;
constexpr size_t kLongestShownValue = 100;  // bytes of a value quoted in a line
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

void SayInvalid(DownloadSettings& out, const char* key, const std::string& value,
                const std::string& valid, const std::string& used) {
  out.invalid.push_back(std::string("Settings.inf: ") + key + "=" + Shown(value) +
                        " is not valid (" + valid + "); " + used + " is used");
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

// Sets `field` from `key` when its value is a whole number of at least `least`
// (above `most` counting as `most`); says so when present and not valid.
template <typename Number>
void ReadWholeNumber(clsSettings& settings, DownloadSettings& out, const char* key, Number& field,
                     long least, long most) {
  const std::string text = settings.GetString(kSection, key, "");
  if (text.empty()) return;
  const std::optional<long> value = WholeNumber(text, most);
  if (value && *value >= least) {
    field = static_cast<Number>(*value);
    return;
  }
  SayInvalid(out, key, text,
             "a whole number from " + std::to_string(least) + " to " + std::to_string(most),
             std::to_string(field));
}

}  // namespace

std::optional<std::string> UsableDate(const std::string& format, const std::tm& when) {
  char buf[kLongestDate + 1];
  // strftime gives 0 both for an empty date and for one that does not fit.
  std::string date(buf, std::strftime(buf, sizeof buf, format.c_str(), &when));
  const bool usable = !date.empty() && std::none_of(date.begin(), date.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (!usable) return std::nullopt;
  std::replace(date.begin(), date.end(), '/', '-');
  return date;
}

DownloadSettings ReadDownloadSettings(clsSettings& settings) {
  DownloadSettings out;
  ReadWholeNumber(settings, out, "ConnectTimeout", out.connectTimeout, 1, kLongestTimeLimit);
  ReadWholeNumber(settings, out, "StallTimeout", out.stallTimeout, 1, kLongestTimeLimit);
  ReadWholeNumber(settings, out, "Retries", out.retries, 0, fw::kMostRetries);

  const std::string skip = settings.GetString(kSection, "SkipUnchanged", "");
  if (skip == "1") {
    out.skipUnchanged = true;
  } else if (!skip.empty() && skip != "0") {
    SayInvalid(out, "SkipUnchanged", skip, "0 or 1", "0");
  }

  ReadWholeNumber(settings, out, "KeepCopies", out.keepCopies, 0, kMostKeptCopies);

  const std::string format = settings.GetString(kSection, "DateFormat", "");
  if (!format.empty()) {
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    if (UsableDate(format, today)) {
      out.dateFormat = format;
    } else {
      SayInvalid(out, "DateFormat", format,
                 "a strftime format giving a date of 1 to " + std::to_string(kLongestDate) +
                     " bytes without control characters",
                 out.dateFormat);
    }
  }

  out.caFile = settings.GetString(kSection, "CAFile", "");
  ReadWholeNumber(settings, out, "RunTimeout", out.runTimeout, 1, kLongestRun);
  out.reportFile = settings.GetString(kSection, "ReportFile", "");
  ReadWholeNumber(settings, out, "Parallel", out.parallel, 1, fw::DownloadSession::kMostParallel);
  out.headersFile = settings.GetString(kSection, "HeadersFile", "");
  const std::string agent = settings.GetString(kSection, "UserAgent", "");
  if (!agent.empty() && std::none_of(agent.begin(), agent.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      })) {
    out.userAgent = agent;
  } else if (!agent.empty()) {
    SayInvalid(out, "UserAgent", agent, "text without control characters", out.userAgent);
  }
  return out;
}
