// Temporary files beside their destination, put in place whole, and the
// interrupt cleanup that removes the live ones.
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
#include <string>
#include <string_view>
#include <thread>

namespace fw {

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
  // file then discarded. StartWriteback starts the writeback alone, for a
  // writer that starts that of several files before naming any (the disk then
  // takes them as fewer, larger requests); PlaceIfNew does not start it again.
  void StartWriteback();
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
  bool writebackStarted_ = false;
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
