#include "startup/list_text.h"

#include "startup/run_report.h"

namespace modMain {

namespace {

std::string Shown(const std::string& text) {
  return EscapeControls(HidePassword(text));
}

std::string SettingsText(const ListView& view) {
  const DownloadSettings& s = view.settings;
  std::string text = "Download folder: " + EscapeControls(view.folder) + "\n";
  text += "Settings in effect:\n";
  for (const DownloadKey& key : DownloadKeys()) {
    text += std::string("  ") + key.name + "=" + EscapeControls(key.shown(s)) + "\n";
  }
  for (const auto& line : s.invalid) text += "  not valid: " + EscapeControls(line) + "\n";
  for (const auto& line : s.unused) text += "  note: " + EscapeControls(line) + "\n";
  if (!view.headers.empty()) text += "HeadersFile: " + EscapeControls(view.headers) + "\n";
  return text;
}

std::string EntryLine(size_t index, const PlannedEntry& entry) {
  std::string line = "  " + std::to_string(index + 1) + ". ";
  if (entry.url.empty()) return line + "(empty)\n";
  line += Shown(entry.url) + " -> " + EscapeControls(entry.destination);
  if (entry.basis) {
    line += entry.basis->empty() ? "; no basis" : "; basis: " + EscapeControls(*entry.basis);
  }
  return line + "\n";
}

}  // namespace

std::string ListingText(const ListView& view) {
  std::string text = "List file: " + EscapeControls(view.listFile) +
                     (view.listFileExists ? "" : " (missing: no entries)") + "\n";
  text += "Settings file: " + EscapeControls(view.settingsFile) +
          (view.settingsFileExists ? "" : " (missing: defaults)") + "\n";
  text += SettingsText(view);
  text += "Entries: " + std::to_string(view.entries.size()) + "\n";
  for (size_t i = 0; i < view.entries.size(); ++i) text += EntryLine(i, view.entries[i]);
  return text;
}

std::string DryRunText(const ListView& view) {
  std::string lines;
  size_t fetched = 0;
  for (size_t i = 0; i < view.entries.size(); ++i) {
    if (view.entries[i].url.empty()) continue;
    ++fetched;
    lines += EntryLine(i, view.entries[i]);
  }
  return "Dry run of -e: " + std::to_string(fetched) + " of " +
         std::to_string(view.entries.size()) +
         " entries would be fetched; nothing is fetched or written\n" + lines + SettingsText(view);
}

}  // namespace modMain
