// Fetches every URL of a list, one after the other, in one download session:
//   download_bench LIST FOLDER [STALL_SECONDS]
// LIST holds one URL a line; each goes to FOLDER/<the URL's last segment>.
// Prints each failure on standard error and exits 1 when any fetch failed.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "fetch/download.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: download_bench LIST FOLDER [STALL_SECONDS]\n";
    return 2;
  }
  std::ifstream list(argv[1]);
  if (!list) {
    std::cerr << "download_bench: cannot read " << argv[1] << "\n";
    return 2;
  }
  const std::string folder = argv[2];
  fw::DownloadLimits limits;
  if (argc > 3) limits.stallTimeout = std::stol(argv[3]);
  fw::DownloadSession session(limits);
  int failed = 0;
  std::string url;
  while (std::getline(list, url)) {
    if (url.empty()) continue;
    const std::string name = url.substr(url.rfind('/') + 1);
    if (!session.Fetch(url, folder + "/" + name)) {
      std::cerr << "download_bench: " << url << ": " << session.LastError() << "\n";
      ++failed;
    }
  }
  return failed ? 1 : 0;
}
