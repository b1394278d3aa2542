#include "run/written_names.h"

#include <functional>

namespace modMain {

namespace {

size_t SlotsFor(size_t entries) {
  size_t slots = 16;
  while (slots / 8 * 7 < entries) slots *= 2;
  return slots;
}

}  // namespace

WrittenNames::WrittenNames(size_t entries)
    : hashes_(SlotsFor(entries), 0), indexes_(hashes_.size(), 0) {}

// Linear probing from the slot the hash's high bits pick (the table's size is
// a power of two).
size_t WrittenNames::SlotOf(uint64_t hash) const {
  const size_t mask = hashes_.size() - 1;
  size_t slot = static_cast<size_t>(hash * 0x9E3779B97F4A7C15ull >> 32) & mask;
  while (hashes_[slot] != 0 && hashes_[slot] != hash) slot = (slot + 1) & mask;
  return slot;
}

std::optional<int32_t> WrittenNames::Placed(std::string_view destination, int32_t index) {
  uint64_t hash = std::hash<std::string_view>{}(destination);
  if (hash == 0) hash = 1;
  size_t slot = SlotOf(hash);
  if (hashes_[slot] == hash) {
    const int32_t earlier = indexes_[slot];
    indexes_[slot] = index;
    return earlier;
  }
  if ((used_ + 1) * 8 > hashes_.size() * 7) {
    Grow();
    slot = SlotOf(hash);
  }
  hashes_[slot] = hash;
  indexes_[slot] = index;
  ++used_;
  return std::nullopt;
}

void WrittenNames::Grow() {
  std::vector<uint64_t> hashes(hashes_.size() * 2, 0);
  std::vector<int32_t> indexes(hashes.size(), 0);
  hashes.swap(hashes_);
  indexes.swap(indexes_);
  for (size_t i = 0; i < hashes.size(); ++i) {
    if (hashes[i] == 0) continue;
    const size_t slot = SlotOf(hashes[i]);
    hashes_[slot] = hashes[i];
    indexes_[slot] = indexes[i];
  }
}

}  // namespace modMain
