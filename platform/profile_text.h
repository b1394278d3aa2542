// The text of one profile (INI) file held in memory, for looking values up and
// editing them while every byte that is not edited stays as it was.
//
// How the text is read:
//  - A line whose first non-blank character is '[' starts a section; its name is
//    the text between that '[' and the line's last ']' (or the line's end).
//  - Blank lines and lines beginning with ';' or '#' are comments.
//  - Any other line inside a section is an entry: a key, "=" and a value, or,
//    without "=", a key alone (its value is empty). Lines above the first
//    section belong to no section.
//  - Names and values are trimmed of white space; names match whatever the
//    letter case of their ASCII letters. The first section of a name counts, and
//    in it the first entry of a key.
//  - Lines end in LF or CRLF; a UTF-8 byte-order mark at the start is skipped. A
//    NUL byte ends what is read of its line.
//
// Any bytes are accepted; the cost of every operation is linear in their size.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fw::profile {

// One section as written: its name, and the key of each of its entries in
// order, repeats included.
struct SectionLayout {
  struct Entry {
    std::string key;  // a line without "=" is its key whole
    bool hasEquals = true;
    bool operator==(const Entry&) const = default;
  };
  std::string name;
  bool headed = true;  // false for the entries above the first section
  std::vector<Entry> entries;
};

class ProfileText {
 public:
  explicit ProfileText(std::string_view bytes);

  // Whether a name, value or section line can be written into the text and read
  // back as given (names and values trimmed): none holds a line break or a NUL;
  // a key is not empty and holds no "="; no key or line begins with '[', and no
  // key with ';' or '#'.
  static bool IsWritableSection(std::string_view section);
  static bool IsWritableKey(std::string_view key);
  static bool IsWritableValue(std::string_view value);
  static bool IsWritableLine(std::string_view line);

  // The trimmed value of `key` in `section`; nullopt when either is missing.
  std::optional<std::string> Value(std::string_view section, std::string_view key) const;

  // The entries of `section` in file order, each as "key=value" (trimmed) or,
  // for a line without "=", the trimmed line. Empty when the section is missing.
  std::vector<std::string> Entries(std::string_view section) const;

  // The names of the sections in file order, each name once.
  std::vector<std::string> SectionNames() const;

  // Every section in file order, a name given twice twice; first, when there
  // are any, the entries above the first section (not headed).
  std::vector<SectionLayout> Layout() const;

  // Gives `key` in `section` the text `value`: the first entry of that key gets
  // the new value in place; otherwise the line "key=value" is added after the
  // section's last entry (right after its name line when it has none). A missing
  // section is added at the end of the text, after a blank line.
  void SetValue(std::string_view section, std::string_view key, std::string_view value);

  // Removes every entry of `key` from `section`; false, the text unchanged,
  // when there is none.
  bool RemoveKey(std::string_view section, std::string_view key);

  // Replaces every entry line of `section` with `lines`, placed where its first
  // entry stood (right after its name line when it had none); comments and blank
  // lines in it stay. A missing section is added as SetValue adds one.
  void ReplaceSection(std::string_view section, const std::vector<std::string>& lines);

  // The whole text: the byte-order mark if there was one, then every line with
  // its own line end. New lines take the line end of the text's first line
  // (LF when it has none).
  std::string Bytes() const;

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\n", "\r\n", or "" for a last line without one
  };

  // Index of the name line of the first section called `section`, or npos.
  size_t FindSection(std::string_view section) const;
  // Index one past the last line of the section whose name line is `header`.
  size_t SectionEnd(size_t header) const;
  // Inserts `texts` as new lines before line `at` (at == size appends).
  void InsertLines(size_t at, const std::vector<std::string>& texts);
  void AppendSection(std::string_view section, const std::vector<std::string>& lines);

  std::string bom_;
  std::string eol_ = "\n";
  std::vector<Line> lines_;
};

}  // namespace fw::profile
