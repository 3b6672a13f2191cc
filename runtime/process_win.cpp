#include "runtime/process.h"

#include <windows.h>

namespace tunova {

std::string programFolderOfProcess() {
  // GetModuleFileNameA cuts a long path to the buffer's size: grow until it fits.
  std::string path(MAX_PATH, '\0');
  DWORD n = 0;
  for (;;) {
    n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return ".";
    if (n < path.size()) break;
    if (path.size() >= 32768) return ".";
    path.resize(path.size() * 2);
  }
  path.resize(n);
  const std::size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".";
  return path.substr(0, sep);
}

// Windows always has its desktop.
bool displayAvailable() {
  return true;
}

} // namespace tunova
