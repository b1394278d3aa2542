#include "platform/profile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "platform/profile_text.h"

namespace fw::profile {
namespace {

constexpr size_t kMaxFileSize = size_t{4} << 20;

enum class Loaded { kText, kMissing, kFailed };

struct FileState {
  std::string bytes;  // at most kMaxFileSize + 1 bytes
  struct stat st {};
};

// Reads a regular file, stopping one byte past kMaxFileSize so that an oversized
// file is recognised without reading it all. O_NONBLOCK keeps a FIFO from
// blocking the open; such files are refused after it.
Loaded Load(const std::string& path, FileState* file) {
  if (path.empty()) return Loaded::kFailed;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? Loaded::kMissing : Loaded::kFailed;
  if (fstat(fd, &file->st) != 0 || !S_ISREG(file->st.st_mode)) {
    close(fd);
    return Loaded::kFailed;
  }
  char chunk[65536];
  while (file->bytes.size() <= kMaxFileSize) {
    size_t want = std::min(sizeof chunk, kMaxFileSize + 1 - file->bytes.size());
    ssize_t n = read(fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return Loaded::kFailed;
    }
    if (n == 0) break;
    file->bytes.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return Loaded::kText;
}

// The text of `path` for reading: empty when it cannot be read.
ProfileText ReadText(const std::string& path) {
  FileState file;
  if (Load(path, &file) != Loaded::kText) return ProfileText("");
  std::string_view bytes = file.bytes;
  return ProfileText(bytes.substr(0, kMaxFileSize));
}

// Loads `path`, applies `edit` to its text and puts the result in its place,
// unless `edit` returns false: nothing changed.
template <typename Edit>
int Rewrite(const std::string& path, Edit edit) {
  try {
    if (path.empty()) return 0;
    FileState file;
    Loaded loaded = Load(path, &file);
    if (loaded == Loaded::kFailed || file.bytes.size() > kMaxFileSize) return 0;
    if (loaded == Loaded::kText && access(path.c_str(), W_OK) != 0) return 0;
    ProfileText text(file.bytes);
    if (!edit(text)) return 1;
    // Keeps the file's permissions, and a link stays a link.
    WriteFileAtomically(path, text.Bytes());
    return 1;
  } catch (...) {
    return 0;
  }
}

// The entry lines of section contents: the pieces between NULs, up to the
// first empty piece.
std::vector<std::string> SplitContents(std::string_view contents) {
  std::vector<std::string> lines;
  while (!contents.empty()) {
    size_t nul = contents.find('\0');
    std::string_view piece = contents.substr(0, nul);
    if (piece.empty()) break;
    lines.emplace_back(piece);
    if (nul == std::string_view::npos) break;
    contents.remove_prefix(nul + 1);
  }
  return lines;
}

// Writes each item followed by a NUL, then the final NUL, while whole items fit.
size_t FillList(const std::vector<std::string>& items, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  size_t pos = 0;
  for (const std::string& item : items) {
    if (item.size() + 2 > size - pos) break;  // the item, its NUL, the final NUL
    std::memcpy(buffer + pos, item.data(), item.size());
    pos += item.size();
    buffer[pos++] = '\0';
  }
  buffer[pos] = '\0';
  if (pos == 0 && size >= 2) buffer[1] = '\0';
  return pos;
}

void MakeFolders(const std::string& folder) {
  for (size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') mkdir(folder.substr(0, i).c_str(), 0700);
  }
}

// The user's profile, its folders made, for a write.
std::string UserProfileForWrite() {
  std::string path = UserProfilePath();
  if (!path.empty()) MakeFolders(FolderOf(path));
  return path;
}

}  // namespace

int WritePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, const std::string& file) {
  if (!ProfileText::IsWritableSection(section) || !ProfileText::IsWritableKey(key) ||
      !ProfileText::IsWritableValue(value)) {
    return 0;
  }
  return Rewrite(file, [&](ProfileText& text) {
    text.SetValue(section, key, value);
    return true;
  });
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view default_value, const std::string& file) {
  try {
    return ReadText(file).Value(section, key).value_or(std::string(default_value));
  } catch (...) {
    return std::string(default_value);
  }
}

int WritePrivateProfileSection(std::string_view section, std::string_view contents,
                               const std::string& file) {
  if (!ProfileText::IsWritableSection(section)) return 0;
  std::vector<std::string> lines = SplitContents(contents);
  for (const std::string& line : lines) {
    if (!ProfileText::IsWritableLine(line)) return 0;
  }
  return Rewrite(file, [&](ProfileText& text) {
    text.ReplaceSection(section, lines);
    return true;
  });
}

int WritePrivateProfileValues(const std::vector<ProfileEdit>& edits, const std::string& file) {
  for (const ProfileEdit& edit : edits) {
    if (!ProfileText::IsWritableSection(edit.section) || !ProfileText::IsWritableKey(edit.key) ||
        (edit.value && !ProfileText::IsWritableValue(*edit.value))) {
      return 0;
    }
  }
  return Rewrite(file, [&](ProfileText& text) {
    bool changed = false;
    for (const ProfileEdit& edit : edits) {
      if (edit.value) {
        text.SetValue(edit.section, edit.key, *edit.value);
        changed = true;
      } else {
        changed = text.RemoveKey(edit.section, edit.key) || changed;
      }
    }
    return changed;
  });
}

std::vector<SectionLayout> GetPrivateProfileLayout(const std::string& file) {
  try {
    return ReadText(file).Layout();
  } catch (...) {
    return {};
  }
}

size_t GetPrivateProfileSection(std::string_view section, char* buffer, size_t size,
                                const std::string& file) {
  try {
    return FillList(ReadText(file).Entries(section), buffer, size);
  } catch (...) {
    return FillList({}, buffer, size);
  }
}

size_t GetPrivateProfileSectionNames(char* buffer, size_t size, const std::string& file) {
  try {
    return FillList(ReadText(file).SectionNames(), buffer, size);
  } catch (...) {
    return FillList({}, buffer, size);
  }
}

int WriteProfileString(std::string_view section, std::string_view key, std::string_view value) {
  try {
    return WritePrivateProfileString(section, key, value, UserProfileForWrite());
  } catch (...) {
    return 0;
  }
}

std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view default_value) {
  return GetPrivateProfileString(section, key, default_value, UserProfilePath());
}

int WriteProfileSection(std::string_view section, std::string_view contents) {
  try {
    return WritePrivateProfileSection(section, contents, UserProfileForWrite());
  } catch (...) {
    return 0;
  }
}

size_t GetProfileSection(std::string_view section, char* buffer, size_t size) {
  return GetPrivateProfileSection(section, buffer, size, UserProfilePath());
}

int WriteProfileValues(const std::vector<ProfileEdit>& edits) {
  try {
    return WritePrivateProfileValues(edits, UserProfileForWrite());
  } catch (...) {
    return 0;
  }
}

std::vector<SectionLayout> GetProfileLayout() {
  return GetPrivateProfileLayout(UserProfilePath());
}

std::string UserProfilePath() {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') return "";
    base = std::string(home) + "/.config";
  }
  return base + "/fetchwell/profile.ini";
}

}  // namespace fw::profile
