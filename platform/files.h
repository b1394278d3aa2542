// File and process services the rest of the program builds on.
//
// Temporary files are created in the folder of the file they will replace,
// with the permissions an ordinary new file gets (unless said otherwise).
// Where the file system allows it they have no name at all until they are
// committed (O_TMPFILE), so that a program killed outright leaves nothing
// behind; they are then linked in as the destination when no file has its
// name, or else given a hidden name that begins ".fetchwell-" and ends ".tmp"
// (a downloaded file's name never begins with ".") just for the rename over
// the destination. Where it does not, they
// carry that hidden name from the start. A named temporary file is locked
// (flock) by the process that writes it for as long as it exists, and every one
// alive is known to the interrupt handler, which removes it when SIGINT or
// SIGTERM ends the program. Only SIGKILL or a crash can leave one behind; the
// first temporary file a process makes in a folder removes such leftovers there.
//
// Functions that fail raise fw::Error 75 with a description naming the file and
// the system's reason, unless said otherwise.
#pragma once

#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

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

// Removes from `folder` the hidden temporary files (".fetchwell-*.tmp") that no
// live process holds: those a killed run left behind. Never raises; files it
// cannot remove stay.
void RemoveLeftoverTempFiles(const std::string& folder) noexcept;

// A temporary file beside a destination, removed on destruction unless committed.
class TempFile {
 public:
  // Who may read and write a new file: whoever an ordinary new file allows
  // under the umask, or its owner alone.
  enum class Access { kOrdinary, kOwnerOnly };
  // Creates the temporary file in the folder of `destination`.
  explicit TempFile(const std::string& destination, Access access = Access::kOrdinary);
  ~TempFile();
  // Adopts `unnamed`, a file made by MakeUnnamed in the folder of
  // `destination`, as the temporary file.
  TempFile(const std::string& destination, int unnamed);
  // Makes an unnamed file in `folder` for a TempFile to adopt: nothing in the
  // folder shows it, and it is gone when closed. -1, with errno set, where the
  // folder or its file system cannot have one.
  static int MakeUnnamed(const std::string& folder, Access access = Access::kOrdinary);
  // Raises what the constructor would for a folder of `destination` that is
  // missing, not a folder or not writable, without making anything: for
  // refusing a destination before any work is done for it.
  static void CheckFolder(const std::string& destination);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_; }
  // The temporary file's name; empty while it has none.
  const std::string& path() const { return path_; }

  // Appends bytes (positional writes after the last byte written, whatever
  // else moved the descriptor's offset); raises 75 on a write error, the file
  // then discarded (as Commit).
  void Write(std::string_view data);
  // Empties the file: what is written next is all of it. Raises 75.
  void Truncate();
  // How far Commit makes sure the new contents are on disk before they are put
  // in place (the link or rename below).
  enum class Durability {
    // fsync of the file, and of its folder after the rename: the new file is
    // on disk when Commit returns. For the user's own data files.
    kSynced,
    // Writeback of the file's data is started (its blocks are allocated)
    // before it is named. A name no file has yet is linked in at once and
    // nothing is waited for: the old state (no file) costs nothing to lose,
    // and the file's record says what a whole one holds. An existing file is
    // replaced only once the new data is on disk (fdatasync), and the folder
    // is synced after the rename, so that a power cut never leaves the name
    // pointing at data that never reached the disk. For downloads.
    kBeforeReplacing,
  };
  // Gets the contents to disk as `durability` says, closes the file and puts it
  // in place as the destination: linked in when no file has that name, else
  // renamed over it. Raises 75 naming the destination and the call that
  // failed: "cannot make D durable (fdatasync: ...)", "cannot put D in place
  // (linkat: ...)", "cannot write D (close: ...)". On failure the temporary
  // file is removed, and the description also names it when that fails. After
  // a failed sync of the folder the new file stays in place, not known to be
  // durable.
  void Commit(Durability durability = Durability::kSynced);
  // Commit with kBeforeReplacing in steps, for a writer that replaces many
  // files with one sync of their file system: PlaceIfNew starts the
  // writeback and, when no file has the destination's name, puts the file in
  // place (true; it is then closed); false leaves it open for Replace, which
  // syncs its data (fdatasync) unless `dataOnDisk` says the caller did
  // (syncfs since its last write), and renames it over the destination. The
  // caller then syncs the folder (SyncFolder). Both raise as Commit does, the
  // file then discarded.
  bool PlaceIfNew();
  void Replace(bool dataOnDisk);
  const std::string& destination() const { return destination_; }
  // Closes and removes the temporary file now. Never raises. Returns the empty
  // text, or, when a named temporary file could not be removed, a sentence
  // naming it and why ("the temporary file F is left behind (unlink: ...)").
  std::string Discard() noexcept;

 private:
  // Links the unnamed file in as the destination when no file of that name
  // exists: it appears whole, with no rename. False when that cannot be done.
  bool LinkAsDestination();
  // The open file's path through /proc, for linking it by its descriptor.
  std::string DescriptorPath() const;
  // Gives the unnamed file a hidden name beside the destination.
  void Name();
  // Tries hidden names until `make(candidate)` returns 0; the last errno
  // otherwise.
  template <typename Make>
  int TakeHiddenName(Make make);
  // Closes the file and, with `rename`, renames it over the destination.
  void CloseAndRename(bool rename);
  // Runs `step`; when it raises, the file is discarded first.
  template <typename Step>
  void Discarding(Step step);
  // What error messages call the file.
  std::string Describe() const;

  std::string destination_;
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;
  int64_t written_ = 0;  // the file's length, where the next write goes
};

// Installs handlers for SIGINT and SIGTERM that clear the line set by
// SetLineToClear, remove every live temporary file, and end the program with
// status 128 + the signal number. Safe to call more than once.
void InstallInterruptCleanup();

// Starts a thread running `body` on which SIGINT and SIGTERM are never
// delivered: they go to the run's own thread, so that their handler never runs
// while that thread is half way through a line.
std::thread StartThreadWithoutInterrupts(std::function<void()> body);

// The bytes the interrupt handler writes to `fd` before the program ends (a
// progress line's erasure); fd -1 (or empty bytes) for none. At most 1024 bytes
// are kept. Safe to call at any time from the program's main thread.
void SetLineToClear(int fd, std::string_view bytes);

}  // namespace fw
