// File services the rest of the program builds on: the program's folder,
// reading files whole (a private one under the netrc rules), replacing a file
// atomically, and syncing a folder so a rename survives a power cut.
//
// Functions that fail raise fw::Error 75 with a description naming the file and
// the system's reason, unless said otherwise.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fw {

// The folder holding the running executable (from /proc/self/exe), without a
// trailing "/".
std::string ProgramFolder();

// True when `path` names a regular file, also through a symbolic link. Folders,
// devices and missing paths are false. Never raises.
bool IsRegularFile(const std::string& path);

// The folder part of `path` ("." when it has none).
std::string FolderOf(const std::string& path);
// The name part of `path`: what follows its last "/" (`path` whole when it has
// none).
std::string NameOf(const std::string& path);

// Reads the whole of the regular file `path` (a symbolic link to one is fine).
// Never blocks on opening: a FIFO, device, folder or socket raises 75 naming
// the kind of file, as does a file larger than `maxBytes` (checked before
// reading, so a huge sparse file is never read in) or one that grows past it
// while it is read. Raises 53 when the path does not exist (a symbolic link to
// a missing file included, with a description that says so).
std::string ReadWholeFile(const std::string& path, size_t maxBytes = SIZE_MAX);

// Opens `path`, a file of secrets, for reading, without blocking, when it is
// a regular file (a symbolic link to one is fine) of at most `maxBytes` that
// no other user may read or write (no permission for group or others).
// Returns its descriptor; or -1 with `*refusal` the one line that says why it
// is not used ("<path> may be read by other users, so it is not used; make it
// private with chmod 600"), left empty when the file does not exist. Never
// raises.
int OpenPrivateFile(const std::string& path, off_t maxBytes, std::string* refusal);
// The contents of such a file; nullopt with `*refusal` set as above (or to a
// read error) when it is not used.
std::optional<std::string> ReadPrivateFile(const std::string& path, off_t maxBytes,
                                           std::string* refusal);

// What a file that is not regular is, for error messages: "a folder", "a
// FIFO", "a character device", ... from the st_mode bits.
const char* KindOfFile(unsigned mode);

// Replaces `path` with `data` so that the old file stays whole unless the new one
// is complete: writes a temporary file beside it, flushes it to disk and renames
// it over `path`. On failure the temporary file is removed and fw::Error raised.
// A file that exists keeps its permissions (and, where allowed, its owner); a
// new one may be read and written by its owner only, as the program's data
// files may hold passwords. A symbolic link stays a link: the file it points
// to is the one replaced.
void WriteFileAtomically(const std::string& path, std::string_view data);

// Syncs the entries of `folder` (fsync of the folder itself), so that a name
// changed in it stays changed; a folder that cannot be read gets a syncfs of
// its file system through `file`, a file in it. Raises 75 "<file> is in place,
// but a power cut may still undo that (fsync of the folder: <reason>)".
void SyncFolder(const std::string& folder, const std::string& file);

// A sync of a whole file system reports a write error once: a later one, on a
// descriptor opened since, says nothing of it. So a failed one is noted, by
// the file system's device, for the rest of the process (thread-safe).
void NoteSyncFailed(dev_t device);
bool SyncFailedOn(dev_t device);

}  // namespace fw
