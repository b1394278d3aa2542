#include "run/download_file.h"

namespace modMain {

bool DownloadFile(const std::string& URL, const std::string& path, fw::DownloadSession* session) {
  try {
    if (session) return session->Fetch(URL, path);
    fw::DownloadSession once;
    return once.Fetch(URL, path);
  } catch (...) {
    return false;  // only running out of memory can land here
  }
}

}  // namespace modMain
