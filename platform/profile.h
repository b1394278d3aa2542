// The profile functions: named values in INI text files, in sections.
//
// The Private forms work on the file they are given; the others on the user's
// own profile, UserProfilePath(). How the text is read, and how an edit keeps
// every other line byte for byte, is told in platform/profile_text.h.
//
// Reading never raises: a file that is missing, unreadable or not a regular file
// reads as empty, and only its first 4 MiB are read.
//
// Writing never raises either: it returns non-zero on success and 0 on failure.
// The new text goes to a temporary file beside the old one, which is renamed
// over it (the old file's permissions are kept, a symbolic link is written
// through). A failed write leaves the file exactly as it was. A write fails when
// the file cannot be read, is over 4 MiB, is not writable, or its folder cannot
// take the temporary file, and when a name or value could not be read back as
// given: a line break or NUL in any of them, or a key that is empty, holds "=",
// or begins with '[', ';' or '#'.
//
// Section contents are exchanged as entries ("key=value", or a line without
// "="), each followed by a NUL, with one more NUL after the last; an empty
// section is just the final NUL.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/profile_text.h"

namespace fw::profile {

// One change of a file: `key` in `section` gets `value` as
// WritePrivateProfileString gives it, or, with no value, every entry of `key`
// in `section` is removed.
struct ProfileEdit {
  std::string section;
  std::string key;
  std::optional<std::string> value;
};

// Stores `value` under `key` in `section` of `file`, creating the file and the
// section when they are missing; the first entry of that key is changed where it
// stands, a new one is added after the section's last entry.
int WritePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, const std::string& file);

// The value stored under `key` in `section` of `file`, whole, or `default_value`
// when the file, the section or the key is missing.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& file);

// Makes every edit of `edits`, in order, in one write of `file`: all of them
// or none. When nothing changes (only removals, of keys that are not there)
// nothing is written, and a missing file is not made.
int WritePrivateProfileValues(const std::vector<ProfileEdit>& edits, const std::string& file);

// Every section of `file` as written (ProfileText::Layout); none for a file
// that cannot be read.
std::vector<SectionLayout> GetPrivateProfileLayout(const std::string& file);

// Replaces the entries of `section` with those of `contents` (section contents
// form; a missing final NUL is tolerated), or adds the section at the end.
// Comments and blank lines inside the section stay.
int WritePrivateProfileSection(std::string_view section, std::string_view contents,
                               const std::string& file);

// Fills `buffer` (of `size` characters) with the contents of `section`. Entries
// that do not fit whole are left out. Returns the number of characters written
// before the final NUL: 0 for a missing or empty section (the buffer then starts
// with two NULs when it has room for them).
size_t GetPrivateProfileSection(std::string_view section, char* buffer, size_t size,
                                const std::string& file);

// Fills `buffer` like GetPrivateProfileSection with the names of the sections of
// `file`, in file order, each once.
size_t GetPrivateProfileSectionNames(char* buffer, size_t size, const std::string& file);

// The same on the user's own profile.
int WriteProfileString(std::string_view section, std::string_view key, std::string_view value);
std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view default_value);
int WriteProfileSection(std::string_view section, std::string_view contents);
size_t GetProfileSection(std::string_view section, char* buffer, size_t size);
int WriteProfileValues(const std::vector<ProfileEdit>& edits);
std::vector<SectionLayout> GetProfileLayout();

// $XDG_CONFIG_HOME/fetchwell/profile.ini, or ~/.config/fetchwell/profile.ini when
// XDG_CONFIG_HOME is unset or not an absolute path (~ is $HOME, else the user's
// home folder from the password database). Empty when no home folder is known.
// A write creates the missing folders (mode 0700).
std::string UserProfilePath();

}  // namespace fw::profile
