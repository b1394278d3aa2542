#include "platform/profile_text.h"

#include <algorithm>
#include <unordered_set>

namespace fw::profile {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kBlank = " \t\r\n\v\f";

std::string_view Trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(kBlank);
  return s.substr(first, last - first + 1);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

enum class Kind { kComment, kSection, kEntry };

struct ParsedLine {
  Kind kind = Kind::kComment;
  std::string_view name;   // section name or key
  std::string_view value;  // entries only
  bool has_equals = false;
};

// The part of a line that counts: everything before its first NUL.
std::string_view Readable(const std::string& text) {
  return std::string_view(text).substr(0, text.find('\0'));
}

ParsedLine Parse(const std::string& text) {
  std::string_view s = Trim(Readable(text));
  ParsedLine p;
  if (s.empty() || s[0] == ';' || s[0] == '#') return p;
  if (s[0] == '[') {
    s.remove_prefix(1);
    size_t close = s.rfind(']');
    if (close != std::string_view::npos) s = s.substr(0, close);
    p.kind = Kind::kSection;
    p.name = Trim(s);
    return p;
  }
  p.kind = Kind::kEntry;
  size_t eq = s.find('=');
  if (eq == std::string_view::npos) {
    p.name = s;
  } else {
    p.name = Trim(s.substr(0, eq));
    p.value = Trim(s.substr(eq + 1));
    p.has_equals = true;
  }
  return p;
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

bool ProfileText::IsWritableSection(std::string_view section) {
  return !HasLineBreakOrNul(section);
}

bool ProfileText::IsWritableKey(std::string_view key) {
  key = Trim(key);
  return !key.empty() && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
         key[0] != '[' && key[0] != ';' && key[0] != '#';
}

bool ProfileText::IsWritableValue(std::string_view value) {
  return !HasLineBreakOrNul(value);
}

bool ProfileText::IsWritableLine(std::string_view line) {
  std::string_view t = Trim(line);
  return !HasLineBreakOrNul(line) && (t.empty() || t[0] != '[');
}

ProfileText::ProfileText(std::string_view bytes) {
  if (bytes.substr(0, kBom.size()) == kBom) {
    bom_ = kBom;
    bytes.remove_prefix(kBom.size());
  }
  while (!bytes.empty()) {
    size_t nl = bytes.find('\n');
    if (nl == std::string_view::npos) {
      lines_.push_back({std::string(bytes), ""});
      break;
    }
    std::string_view text = bytes.substr(0, nl);
    if (!text.empty() && text.back() == '\r') {
      text.remove_suffix(1);
      lines_.push_back({std::string(text), "\r\n"});
    } else {
      lines_.push_back({std::string(text), "\n"});
    }
    bytes.remove_prefix(nl + 1);
  }
  if (!lines_.empty() && !lines_.front().end.empty()) eol_ = lines_.front().end;
}

size_t ProfileText::FindSection(std::string_view section) const {
  section = Trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    ParsedLine p = Parse(lines_[i].text);
    if (p.kind == Kind::kSection && SameName(p.name, section)) return i;
  }
  return std::string::npos;
}

size_t ProfileText::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < lines_.size() && Parse(lines_[i].text).kind != Kind::kSection) ++i;
  return i;
}

std::optional<std::string> ProfileText::Value(std::string_view section,
                                              std::string_view key) const {
  size_t header = FindSection(section);
  if (header == std::string::npos) return std::nullopt;
  key = Trim(key);
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    ParsedLine p = Parse(lines_[i].text);
    if (p.kind == Kind::kEntry && SameName(p.name, key)) return std::string(p.value);
  }
  return std::nullopt;
}

std::vector<std::string> ProfileText::Entries(std::string_view section) const {
  std::vector<std::string> entries;
  size_t header = FindSection(section);
  if (header == std::string::npos) return entries;
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    ParsedLine p = Parse(lines_[i].text);
    if (p.kind != Kind::kEntry) continue;
    std::string entry(p.name);
    if (p.has_equals) entry.append("=").append(p.value);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> ProfileText::SectionNames() const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const Line& line : lines_) {
    ParsedLine p = Parse(line.text);
    if (p.kind != Kind::kSection) continue;
    std::string folded(p.name);
    for (char& c : folded) c = Lower(c);
    if (seen.insert(std::move(folded)).second) names.emplace_back(p.name);
  }
  return names;
}

std::vector<SectionLayout> ProfileText::Layout() const {
  std::vector<SectionLayout> layout;
  for (const Line& line : lines_) {
    ParsedLine p = Parse(line.text);
    if (p.kind == Kind::kSection) {
      layout.push_back({std::string(p.name), true, {}});
    } else if (p.kind == Kind::kEntry) {
      if (layout.empty()) layout.push_back({"", false, {}});
      layout.back().entries.push_back({std::string(p.name), p.has_equals});
    }
  }
  return layout;
}

bool ProfileText::RemoveKey(std::string_view section, std::string_view key) {
  size_t header = FindSection(section);
  if (header == std::string::npos) return false;
  key = Trim(key);
  const size_t before = lines_.size();
  const auto first = lines_.begin() + static_cast<ptrdiff_t>(header) + 1;
  const auto last = lines_.begin() + static_cast<ptrdiff_t>(SectionEnd(header));
  lines_.erase(std::remove_if(first, last,
                              [&](const Line& line) {
                                ParsedLine p = Parse(line.text);
                                return p.kind == Kind::kEntry && SameName(p.name, key);
                              }),
               last);
  return lines_.size() != before;
}

void ProfileText::SetValue(std::string_view section, std::string_view key, std::string_view value) {
  key = Trim(key);
  std::string entry = std::string(key) + "=" + std::string(value);
  size_t header = FindSection(section);
  if (header == std::string::npos) {
    AppendSection(section, {entry});
    return;
  }
  size_t last_entry = header;
  for (size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
    ParsedLine p = Parse(lines_[i].text);
    if (p.kind != Kind::kEntry) continue;
    if (SameName(p.name, key)) {
      // Keep the key as written, with its "=" and the blanks after it.
      std::string& text = lines_[i].text;
      if (p.has_equals) {
        size_t start = text.find('=') + 1;
        while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
        text.replace(start, std::string::npos, value);
      } else {
        std::string keep(Readable(text));
        keep.erase(keep.find_last_not_of(kBlank) + 1);
        text = keep + "=" + std::string(value);
      }
      return;
    }
    last_entry = i;
  }
  InsertLines(last_entry + 1, {entry});
}

void ProfileText::ReplaceSection(std::string_view section, const std::vector<std::string>& lines) {
  size_t header = FindSection(section);
  if (header == std::string::npos) {
    AppendSection(section, lines);
    return;
  }
  size_t end = SectionEnd(header);
  size_t insert_at = std::string::npos;
  std::vector<Line> kept(lines_.begin(), lines_.begin() + static_cast<ptrdiff_t>(header) + 1);
  for (size_t i = header + 1; i < end; ++i) {
    if (Parse(lines_[i].text).kind == Kind::kEntry) {
      if (insert_at == std::string::npos) insert_at = kept.size();
    } else {
      kept.push_back(std::move(lines_[i]));
    }
  }
  if (insert_at == std::string::npos) insert_at = header + 1;
  kept.insert(kept.end(), std::make_move_iterator(lines_.begin() + static_cast<ptrdiff_t>(end)),
              std::make_move_iterator(lines_.end()));
  lines_ = std::move(kept);
  InsertLines(insert_at, lines);
}

void ProfileText::AppendSection(std::string_view section, const std::vector<std::string>& lines) {
  std::vector<std::string> texts;
  if (!lines_.empty() && !Trim(Readable(lines_.back().text)).empty()) texts.emplace_back();
  texts.push_back("[" + std::string(Trim(section)) + "]");
  texts.insert(texts.end(), lines.begin(), lines.end());
  InsertLines(lines_.size(), texts);
}

void ProfileText::InsertLines(size_t at, const std::vector<std::string>& texts) {
  if (texts.empty()) return;
  if (at > 0 && lines_[at - 1].end.empty()) lines_[at - 1].end = eol_;
  std::vector<Line> added;
  added.reserve(texts.size());
  for (const std::string& t : texts) added.push_back({t, eol_});
  lines_.insert(lines_.begin() + static_cast<ptrdiff_t>(at), added.begin(), added.end());
}

std::string ProfileText::Bytes() const {
  std::string out = bom_;
  for (const Line& line : lines_) out.append(line.text).append(line.end);
  return out;
}

}  // namespace fw::profile
