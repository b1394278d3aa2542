#include "run/snapshot_basis.h"

#include <ctime>

#include "fetch/snapshot_folder.h"
#include "platform/error.h"
#include "platform/files.h"

namespace modMain {

BasisFinder::BasisFinder() = default;
BasisFinder::~BasisFinder() = default;

std::string BasisFinder::BasisOf(const fw::SnapshotEntry& entry) {
  const std::string path = fw::FolderOf(entry.destination);
  const auto [known, added] = folders_.try_emplace(path);
  if (added) {
    try {
      known->second = std::make_unique<fw::SnapshotFolder>(path);
    } catch (const fw::Error&) {
      // An unreadable folder: a run would say what is wrong with it.
    }
  }
  const fw::SnapshotFolder* folder = known->second.get();
  if (!folder) return "";
  const auto basis = fw::FindBasis(*folder, entry.recordUrl, entry.shape,
                                   static_cast<int64_t>(std::time(nullptr)));
  return basis ? basis->snapshot.name : "";
}

}  // namespace modMain
