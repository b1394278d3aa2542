// Fetching one URL into one file for the download run.
#pragma once

#include <string>

#include "fetch/download.h"

namespace modMain {

// Fetches `URL` into the file `path` through `session`, or through a session of
// its own when none is given (a run passes one session for all its entries, so
// that they share connections). True when the fetch succeeded, False otherwise;
// it never raises and prints nothing. The reason for a failure is the session's
// LastError().
bool DownloadFile(const std::string& URL, const std::string& path,
                  fw::DownloadSession* session = nullptr);

}  // namespace modMain
