#include "fetch/basis_search.h"

#include <ctime>

#include "fetch/snapshot_fetch.h"
#include "platform/error.h"
#include "platform/files.h"

namespace fw {

BasisSearch::BasisSearch() = default;
BasisSearch::~BasisSearch() = default;

std::unique_ptr<SnapshotBasis> BasisSearch::BasisOf(const SnapshotEntry& entry) {
  const std::string path = FolderOf(entry.destination);
  auto& folder = folders_[path];
  try {
    if (!folder) folder = std::make_unique<SnapshotFolder>(path);
  } catch (const Error&) {
    folders_.erase(path);
    return nullptr;  // an unreadable folder: a fetch there says what is wrong
  }
  folder->Add(NameOf(entry.destination));
  return FindBasis(*folder, entry.recordUrl, entry.shape, static_cast<int64_t>(std::time(nullptr)));
}

std::string BasisSearch::BasisName(const SnapshotEntry& entry) {
  const auto basis = BasisOf(entry);
  return basis ? basis->snapshot.name : "";
}

}  // namespace fw
