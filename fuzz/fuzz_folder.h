// A scratch folder for a fuzz target's files: created once per process under
// /dev/shm (memory, so the fsync of every save costs little) or $TMPDIR, and
// removed with its files when the process exits normally.
#pragma once

#include <string>

namespace fuzz {

// The folder's path, without a trailing "/". Aborts when it cannot be made.
const std::string& ScratchFolder();

// Writes `data` to `path`, replacing it; aborts on failure.
void WriteRaw(const std::string& path, const std::string& data);

// Aborts the fuzzer with `what` when `ok` is false, so the input is kept as a
// finding.
void Check(bool ok, const char* what);

}  // namespace fuzz
