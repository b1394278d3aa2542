// clsSettings: named values kept either in one settings file (private mode, the
// mode of a new instance) or in the user's own profile, through the profile
// functions of platform/profile.h.
//
// Reading Path switches the instance back to private mode; every other
// operation uses the mode and path as they stand. Only the Path assignment
// raises (fw::Error 53); the other operations report a failed write in their
// result and read what they can.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile.h"

class clsSettings {
 public:
  // The settings file's path, empty until assigned. Also sets PrivateINI to true.
  std::string Path();

  // True when the instance works on the settings file, false for the user's
  // own profile.
  bool PrivateINI() const;
  void PrivateINI(bool vNewValue);

  // Makes `vNewValue` the settings file (it need not exist yet) and switches to
  // private mode. The first assignment always succeeds; a later one succeeds
  // only while the current Path names a regular file (also through a symbolic
  // link), and otherwise raises error 53 "File not found: <vNewValue>" and
  // keeps the current Path.
  void Path(const std::string& vNewValue);

  // Stores `Value` under `Key` in `Section`, creating the file and the section
  // when missing. Non-zero on success, 0 on failure.
  int16_t WriteString(const std::string& Section, const std::string& Key, const std::string& Value);

  // The whole value stored under `Key` in `Section`, or `Default` when there is
  // none.
  std::string GetString(const std::string& Section, const std::string& Key,
                        const std::string& Default);

  // Replaces the entries of `Section` with `Contents` ("key=value" entries, each
  // followed by a NUL, one more NUL after the last). Non-zero on success, 0 on
  // failure.
  int32_t WriteSection(const std::string& Section, const std::string& Contents);

  // The contents of `Section` in a text of 2048 characters: its entries, each
  // followed by a NUL, one more NUL, then spaces to the end. The empty text when
  // the section is missing or has no entries.
  std::string GetSectionContents(const std::string& Section);

  // The key of each entry of `Section`, in order: the text before its first
  // "=", or the whole entry when it has none. Empty when the section is missing.
  std::vector<std::string> GetKeysInSection(const std::string& Section);

  // The section names of the settings file in file order, followed by one empty
  // element; an empty array when the file has no sections. No value (nullopt)
  // when not in private mode.
  std::optional<std::vector<std::string>> GetSectionNames();

  // Makes every edit in one write, all or none (fw::profile::WritePrivateProfileValues).
  // Non-zero on success, 0 on failure.
  int32_t WriteValues(const std::vector<fw::profile::ProfileEdit>& edits);

  // Every section as written, repeats included (fw::profile::SectionLayout).
  std::vector<fw::profile::SectionLayout> Layout();

 private:
  std::string path_;
  bool private_ini_ = true;
};
