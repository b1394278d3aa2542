// clsFiles: the ordered list of URLs the program downloads, and its list file.
//
// Entries are byte strings of any content (the empty text included), kept byte
// for byte. The "upper bound" is the index of the last entry, -1 when the list
// is empty; Count() reports it as decimal text.
//
// The list file ("Files.dat") is little-endian: a signed 32-bit upper bound U,
// then, when U >= 0, U + 1 records, index 0 first, each an unsigned 16-bit byte
// length followed by that many bytes of the entry. An empty list is FF FF FF FF.
//
// Errors are fw::Error (platform/error.h); nothing is caught inside the class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/list_display.h"

class clsFiles {
 public:
  // Appends `sFile` as the new last entry and returns its index.
  int32_t AddFile(const std::string& sFile);

  // Removes the entry at `Index`, keeping the others in order. An index outside
  // the list (below 0, above the upper bound, or any on an empty list) raises
  // error 9 and changes nothing.
  void RemoveFile(int32_t Index);

  // Empties the list.
  void ClearAll();

  // Replaces the list file at `sFile` with the list. The file is written whole
  // or not at all: on any failure the old file is left as it was. An entry
  // longer than 65,535 bytes, or a list whose file would be larger than
  // kMaxFileBytes, raises error 5 before anything is written; write failures
  // raise error 75.
  void SaveData(const std::string& sFile);

  // Replaces the list with the contents of the list file at `sFile`.
  //  - A missing file is created empty, and an empty file (or one shorter than
  //    4 bytes) gives a list of one empty entry.
  //  - Only a regular file (or a symbolic link to one) is read, never more than
  //    kMaxFileBytes: a FIFO, device, folder, a link to a missing file or a
  //    larger file raises 75 naming the file, without blocking or reading it.
  //  - A negative count gives the empty list.
  //  - Records that the file is too short to hold (their length field missing)
  //    load as empty entries.
  //  - A count no file of this size could hold, or a record whose text runs
  //    past the end of the file, raises error 321 naming the file.
  // Raises 75 when the file cannot be read or created. On any error the list
  // and the file are left as they were.
  void LoadData(const std::string& sFile);

  // What tells one content of the list file from another: its size and a hash
  // of its bytes.
  struct Version {
    size_t size = 0;
    size_t hash = 0;
    bool operator==(const Version&) const = default;
  };
  // The version of the list file at `sFile` as it is now; nullopt when there
  // is no file of that name. Creates nothing; raises 75 naming the file when
  // it cannot be read, as LoadData does.
  static std::optional<Version> VersionOf(const std::string& sFile);
  // The version of the bytes LoadData last read or SaveData last wrote;
  // nullopt before either.
  std::optional<Version> LoadedVersion() const;

  // Clears `ListBox` and adds every entry to it as one row, in index order.
  void AddToList(ListDisplay& ListBox) const;

  // True when `Index` names an entry of the list.
  bool IsFile(int32_t Index) const;

  // The upper bound as decimal text: "-1" for an empty list, "2" for three
  // entries.
  std::string Count() const;
  // The upper bound as a number: -1 for an empty list.
  int32_t UpperBound() const;

  // The largest list file read or written: 256 MiB, far more than any list a
  // person keeps, and a bound on the memory a load takes.
  static constexpr size_t kMaxFileBytes = size_t{256} << 20;

  // The entry at `Index`, or the empty text when IsFile(Index) is false.
  std::string File(int32_t Index) const;

  // Replaces the entry at `Index` with `vNewValue` when IsFile(Index) is true;
  // otherwise does nothing.
  void File(int32_t Index, const std::string& vNewValue);

 private:
  std::vector<std::string> entries_;
  std::optional<Version> version_;
};
