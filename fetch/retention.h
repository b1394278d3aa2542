// Removing a run's older snapshots (KeepCopies): for each URL fetched, its
// snapshots of its own (snapshot_folder.h) beyond the newest N still as
// fetched.
//
// Applied once the run's entries are settled, from one listing of each
// folder. The file this run put in place for a URL counts as its newest; a URL
// whose file a later entry replaced (two entries of one name) gets no
// retention that run. Only a snapshot still as its record says (one link and,
// when its record has a hash, the recorded size and content) counts as one of
// the N or is removed: a file edited since is the user's. Older files are read
// only while one could still be removed, and each is checked again right
// before its removal; a file put in its name meanwhile, or gone, is left
// alone. Before the first removal in a folder its file system is synced
// (syncfs), so that this run's files are on the disk before an older one goes;
// when that fails, nothing there is removed and a failure line says why.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fetch/snapshot_folder.h"

namespace fw {

class RetentionPlan {
 public:
  // `keep`: the snapshots kept per URL, at least 1 (raises fw::Error 5
  // otherwise).
  explicit RetentionPlan(int keep);

  // The entry `entry` (the URL as listed, for lines) put `destination` in place
  // as a snapshot of `url` (without user information) with names of `shape`.
  // An earlier placement of the same destination is gone with its file.
  void Placed(const std::string& entry, const std::string& url, const NameShape& shape,
              const std::string& destination);

  struct Failure {
    std::string entry;  // the entry it belongs to
    std::string line;   // "cannot remove <path>: <reason>"
  };
  // Removes, for every URL whose file still stands, its snapshots beyond the
  // newest `keep` still as recorded. `now`: seconds since the epoch. Returns
  // what could not be done (a removal that failed, a folder that cannot be
  // read or synced), in the order the entries were placed; never raises fw::Error.
  std::vector<Failure> Apply(int64_t now);

 private:
  struct Placement {
    std::string entry, url, folder, name;
    NameShape shape;
    bool standing = true;
  };
  // The names this run put in place for the URL of `p` in its folder, which
  // all count as its newest; each is added to `folder`'s listing.
  std::vector<std::string> PlacedNames(const Placement& p, SnapshotFolder& folder) const;

  int keep_;
  std::vector<Placement> placed_;
};

}  // namespace fw
