#include "runtime/process.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace tunova {

std::string programFolderOfProcess() {
  std::string path(PATH_MAX, '\0');
  ssize_t n;
  // A longer path than the buffer fills it exactly: grow and read again.
  while ((n = ::readlink("/proc/self/exe", path.data(), path.size())) >= 0 &&
         static_cast<std::size_t>(n) == path.size()) {
    path.resize(path.size() * 2);
  }
  if (n <= 0) return ".";
  path.resize(static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool displayAvailable() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display && *display) || (wayland && *wayland);
}

} // namespace tunova
