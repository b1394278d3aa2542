// Which snapshot a run with SkipUnchanged asks the server about (the basis,
// snapshot_folder.h's FindBasis), found by one search for the run and for
// --dry-run alike.
//
// Each folder is listed once, at the first entry that looks in it; one that
// cannot be read gives no basis and is tried again at the next entry. The
// destination's own name counts as listed (a file this run put there since).
// Only reads; never raises.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "fetch/snapshot_folder.h"

namespace fw {

struct SnapshotEntry;  // snapshot_fetch.h

class BasisSearch {
 public:
  BasisSearch();
  ~BasisSearch();
  BasisSearch(const BasisSearch&) = delete;
  BasisSearch& operator=(const BasisSearch&) = delete;

  // The basis of `entry`, open for reading and checked against its record;
  // nullptr when there is none.
  std::unique_ptr<SnapshotBasis> BasisOf(const SnapshotEntry& entry);
  // The file name (without its folder) of the basis of `entry`; "" for none.
  std::string BasisName(const SnapshotEntry& entry);

 private:
  std::map<std::string, std::unique_ptr<SnapshotFolder>> folders_;
};

}  // namespace fw
