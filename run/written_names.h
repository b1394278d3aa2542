// The destinations a run has put files in, for the line that says an entry
// replaced the file of an earlier one of its name. Each is kept as a 64-bit
// hash and the list index that wrote it (12 bytes a slot; about 1.5 MB for
// 100,000 entries); two names of one hash, about one chance in 10^9 at that
// size, would be taken for one. Never raises but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace modMain {

class WrittenNames {
 public:
  // For a run of about `entries` entries (more only make the table grow).
  explicit WrittenNames(size_t entries);

  // Notes that the entry at list index `index` put a file at `destination`.
  // Gives the index of the entry that had put the last one there before, if
  // any.
  std::optional<int32_t> Placed(std::string_view destination, int32_t index);

 private:
  void Grow();
  size_t SlotOf(uint64_t hash) const;

  std::vector<uint64_t> hashes_;  // 0: a free slot
  std::vector<int32_t> indexes_;
  size_t used_ = 0;
};

}  // namespace modMain
