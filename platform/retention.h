// Which files of a folder are the snapshots of a URL, and removing the older ones.
//
// A snapshot of a URL is a regular file directly in the folder whose record
// (snapshot_record.h) names exactly that URL. Nothing else is ever counted or
// removed, whatever its name: not a file without a record or with a malformed
// one, not a file of another URL, not a symbolic link (even to a snapshot), a
// folder or a device, not a hidden file (a downloaded file's name never begins
// with "."; the run's temporary files do), not a file whose attributes the
// program may not read.
//
// The folder is read once and each name looked at once, so a folder of many
// thousands of files costs one pass. Snapshots are ordered newest first by
// their record's "fetched" time, equal times by name (byte order, ascending),
// so the order never depends on the folder's listing.
//
// Functions raise fw::Error 75 naming the folder when it cannot be opened or
// read.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fw {

// The paths (`folder` + "/" + name) of the snapshots of `url` in `folder`,
// newest first.
std::vector<std::string> SnapshotsOf(const std::string& folder, const std::string& url);

// The path of the newest snapshot of `url` in `folder` (whose record holds the
// validators for a conditional request); nullopt when there is none.
std::optional<std::string> NewestSnapshot(const std::string& folder, const std::string& url);

// Removes the snapshots of `url` in `folder` beyond the newest `keep` (at least
// 1; raises 5 otherwise). Right before each removal the name is checked to
// still name the very file whose record was read; a file put in its place
// meanwhile is left alone, as is one already gone. A removal that fails adds a
// line naming the file and the reason to `failures` (when not null), and the
// rest go on.
void KeepNewest(const std::string& folder, const std::string& url, int keep,
                std::vector<std::string>* failures);

}  // namespace fw
