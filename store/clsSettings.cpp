#include "store/clsSettings.h"

#include "platform/error.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace {

constexpr size_t kSectionBufferSize = 2048;
constexpr size_t kNamesBufferSize = 1024;

}  // namespace

std::string clsSettings::Path() {
  private_ini_ = true;
  return path_;
}

bool clsSettings::PrivateINI() const {
  return private_ini_;
}

void clsSettings::PrivateINI(bool vNewValue) {
  private_ini_ = vNewValue;
}

void clsSettings::Path(const std::string& vNewValue) {
  std::string old = Path();
  if (!old.empty() && !fw::IsRegularFile(old)) {
    throw fw::Error(fw::kFileNotFound, "File not found: " + vNewValue);
  }
  path_ = vNewValue;
}

int16_t clsSettings::WriteString(const std::string& Section, const std::string& Key,
                                 const std::string& Value) {
  int result = private_ini_ ? fw::profile::WritePrivateProfileString(Section, Key, Value, path_)
                            : fw::profile::WriteProfileString(Section, Key, Value);
  return static_cast<int16_t>(result != 0 ? 1 : 0);
}

std::string clsSettings::GetString(const std::string& Section, const std::string& Key,
                                   const std::string& Default) {
  return private_ini_ ? fw::profile::GetPrivateProfileString(Section, Key, Default, path_)
                      : fw::profile::GetProfileString(Section, Key, Default);
}

int32_t clsSettings::WriteSection(const std::string& Section, const std::string& Contents) {
  int result = private_ini_ ? fw::profile::WritePrivateProfileSection(Section, Contents, path_)
                            : fw::profile::WriteProfileSection(Section, Contents);
  return result != 0 ? 1 : 0;
}

std::string clsSettings::GetSectionContents(const std::string& Section) {
  std::string buffer(kSectionBufferSize, ' ');
  size_t n = private_ini_ ? fw::profile::GetPrivateProfileSection(Section, buffer.data(),
                                                                  buffer.size(), path_)
                          : fw::profile::GetProfileSection(Section, buffer.data(), buffer.size());
  if (n == 0) return "";
  return buffer;
}

std::vector<std::string> clsSettings::GetKeysInSection(const std::string& Section) {
  std::string contents = GetSectionContents(Section);
  std::vector<std::string> keys;
  // Entries run up to the empty piece that the final NUL makes; what follows is
  // the unfilled rest of the buffer.
  size_t start = 0;
  while (start < contents.size()) {
    size_t nul = contents.find('\0', start);
    if (nul == std::string::npos || nul == start) break;
    std::string entry = contents.substr(start, nul - start);
    keys.push_back(entry.substr(0, entry.find('=')));
    start = nul + 1;
  }
  return keys;
}

std::optional<std::vector<std::string>> clsSettings::GetSectionNames() {
  if (!private_ini_) return std::nullopt;
  std::string buffer(kNamesBufferSize, ' ');
  size_t n = fw::profile::GetPrivateProfileSectionNames(buffer.data(), buffer.size(), path_);
  std::vector<std::string> names;
  if (n == 0) return names;
  // Every name ends in a NUL, so the split ends with one empty element.
  size_t start = 0;
  for (;;) {
    size_t nul = buffer.find('\0', start);
    if (nul == std::string::npos || nul >= n) {
      names.push_back(buffer.substr(start, n - start));
      break;
    }
    names.push_back(buffer.substr(start, nul - start));
    start = nul + 1;
  }
  return names;
}

int32_t clsSettings::WriteValues(const std::vector<fw::profile::ProfileEdit>& edits) {
  int result = private_ini_ ? fw::profile::WritePrivateProfileValues(edits, path_)
                            : fw::profile::WriteProfileValues(edits);
  return result != 0 ? 1 : 0;
}

std::vector<fw::profile::SectionLayout> clsSettings::Layout() {
  return private_ini_ ? fw::profile::GetPrivateProfileLayout(path_)
                      : fw::profile::GetProfileLayout();
}
