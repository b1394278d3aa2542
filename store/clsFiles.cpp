#include "store/clsFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <string_view>

#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxEntryBytes = std::numeric_limits<uint16_t>::max();

void PutInt32(std::string& out, int32_t value) {
  auto u = static_cast<uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((u >> shift) & 0xff));
}

void PutUint16(std::string& out, size_t value) {
  out.push_back(static_cast<char>(value & 0xff));
  out.push_back(static_cast<char>((value >> 8) & 0xff));
}

uint32_t GetByte(std::string_view data, size_t at) {
  return static_cast<unsigned char>(data[at]);
}

int32_t GetInt32(std::string_view data, size_t at) {
  uint32_t u = GetByte(data, at) | GetByte(data, at + 1) << 8 | GetByte(data, at + 2) << 16 |
               GetByte(data, at + 3) << 24;
  return static_cast<int32_t>(u);
}

size_t GetUint16(std::string_view data, size_t at) {
  return GetByte(data, at) | GetByte(data, at + 1) << 8;
}

[[noreturn]] void RaiseDamaged(const std::string& path, const std::string& why) {
  throw fw::Error(fw::kInvalidFileFormat, "Damaged list file " + path + ": " + why);
}

// Reads the list file, creating it empty when it does not exist yet.
std::string ReadOrCreate(const std::string& path) {
  // Two rounds: should another process create the file between the read and
  // the create, the second read finds it.
  for (int round = 0;; ++round) {
    try {
      return fw::ReadWholeFile(path, clsFiles::kMaxFileBytes);
    } catch (const fw::Error& e) {
      // A symbolic link to a missing file is not created through: say so.
      struct stat link {};
      if (e.Number() != fw::kFileNotFound || round > 0 ||
          (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
        throw fw::Error(fw::kFileAccess, e.Description());
      }
    }
    // O_EXCL: should another process create the file meanwhile, read that one
    // instead of treating it as empty. Private: the list may come to hold
    // passwords.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return {};
    }
    const int err = errno;
    if (err != EEXIST) {
      throw fw::Error(fw::kFileAccess, "cannot create " + path + ": " + std::strerror(err));
    }
  }
}

clsFiles::Version VersionOfBytes(std::string_view data) {
  return {data.size(), std::hash<std::string_view>{}(data)};
}

// Decodes a list file's bytes. Raises 321 naming `path` when the bytes cannot be
// a list file; allocates no more entries than the file could hold.
std::vector<std::string> Decode(std::string_view data, const std::string& path) {
  const size_t size = data.size();
  const int32_t upper = size < 4 ? 0 : GetInt32(data, 0);
  if (upper < 0) return {};

  // Every record needs at least its 2-byte length, so a count of more records
  // than that is damage, not a short file. A count of 0 is accepted in any file
  // (an empty file holds one empty entry).
  const uint64_t records = static_cast<uint64_t>(upper) + 1;
  if (upper > 0 && 4 + 2 * records > size) {
    RaiseDamaged(path, "its count names " + std::to_string(records) +
                           " entries but the file holds only " + std::to_string(size) + " bytes");
  }

  std::vector<std::string> entries(records);
  size_t at = 4;
  for (uint64_t i = 0; i < records; ++i) {
    // A length field past the end: this and all later entries stay empty.
    if (size < 2 || at > size - 2) break;
    const size_t length = GetUint16(data, at);
    at += 2;
    if (length > size - at) {
      RaiseDamaged(path, "entry " + std::to_string(i) + " claims " + std::to_string(length) +
                             " bytes but only " + std::to_string(size - at) + " remain");
    }
    entries[i].assign(data.substr(at, length));
    at += length;
  }
  return entries;
}

}  // namespace

int32_t clsFiles::AddFile(const std::string& sFile) {
  entries_.push_back(sFile);
  return static_cast<int32_t>(entries_.size() - 1);
}

void clsFiles::RemoveFile(int32_t Index) {
  if (!IsFile(Index)) {
    throw fw::Error(fw::kSubscriptOutOfRange, "Subscript out of range: no entry " +
                                                  std::to_string(Index) +
                                                  " in a list whose upper bound is " + Count());
  }
  entries_.erase(entries_.begin() + Index);
}

void clsFiles::ClearAll() {
  entries_.clear();
}

void clsFiles::SaveData(const std::string& sFile) {
  size_t total = 4;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].size() > kMaxEntryBytes) {
      throw fw::Error(fw::kInvalidArgument,
                      "Entry " + std::to_string(i) +
                          " is too long to save: " + std::to_string(entries_[i].size()) +
                          " bytes, at most " + std::to_string(kMaxEntryBytes) + " allowed");
    }
    total += 2 + entries_[i].size();
  }
  if (total > kMaxFileBytes) {
    throw fw::Error(fw::kInvalidArgument, "The list is too long to save: " + std::to_string(total) +
                                              " bytes, at most " + std::to_string(kMaxFileBytes) +
                                              " allowed");
  }

  std::string out;
  out.reserve(total);
  PutInt32(out, static_cast<int32_t>(entries_.size()) - 1);
  for (const std::string& entry : entries_) {
    PutUint16(out, entry.size());
    out += entry;
  }
  fw::WriteFileAtomically(sFile, out);
  version_ = VersionOfBytes(out);
}

void clsFiles::LoadData(const std::string& sFile) {
  const std::string data = ReadOrCreate(sFile);
  std::vector<std::string> loaded = Decode(data, sFile);
  entries_.swap(loaded);
  version_ = VersionOfBytes(data);
}

std::optional<clsFiles::Version> clsFiles::VersionOf(const std::string& sFile) {
  try {
    return VersionOfBytes(fw::ReadWholeFile(sFile, kMaxFileBytes));
  } catch (const fw::Error& e) {
    if (e.Number() == fw::kFileNotFound) return std::nullopt;
    throw fw::Error(fw::kFileAccess, e.Description());
  }
}

std::optional<clsFiles::Version> clsFiles::LoadedVersion() const {
  return version_;
}

void clsFiles::AddToList(ListDisplay& ListBox) const {
  ListBox.Clear();
  for (const std::string& entry : entries_) ListBox.AddItem(entry);
}

bool clsFiles::IsFile(int32_t Index) const {
  return Index >= 0 && static_cast<size_t>(Index) < entries_.size();
}

std::string clsFiles::Count() const {
  return std::to_string(UpperBound());
}

int32_t clsFiles::UpperBound() const {
  return static_cast<int32_t>(entries_.size()) - 1;
}

std::string clsFiles::File(int32_t Index) const {
  return IsFile(Index) ? entries_[Index] : std::string();
}

void clsFiles::File(int32_t Index, const std::string& vNewValue) {
  if (IsFile(Index)) entries_[Index] = vNewValue;
}
