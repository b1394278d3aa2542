// Which snapshot a run with SkipUnchanged would ask the server about, found
// without fetching or writing anything (for --dry-run).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "fetch/snapshot_fetch.h"

namespace modMain {

class BasisFinder {
 public:
  BasisFinder();
  ~BasisFinder();
  BasisFinder(const BasisFinder&) = delete;
  BasisFinder& operator=(const BasisFinder&) = delete;

  // The name of the newest snapshot of its own of `entry`'s URL in the folder
  // of its destination (fetch/snapshot_folder.h), when that snapshot has a
  // full record with a validator (ETag or Last-Modified) and its size and
  // content still match the record; the empty text otherwise (also when the
  // folder cannot be read). Each folder is listed once. Only reads. Never
  // raises.
  std::string BasisOf(const fw::SnapshotEntry& entry);

 private:
  std::map<std::string, std::unique_ptr<fw::SnapshotFolder>> folders_;  // null: unreadable
};

}  // namespace modMain
