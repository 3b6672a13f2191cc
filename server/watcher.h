#pragma once
// Follows the library folder while the service runs. Every folder under it is watched with
// inotify; a second after the last change (at most five seconds after the first of a burst), the
// library is rescanned, which reads only the files added or changed and drops the ones removed.
// Where inotify cannot watch (no watches left), the folder is rescanned every few seconds
// instead.
#include <chrono>
#include <thread>

#include "server/library.h"

namespace tunova::catalogue {

class FolderWatcher {
public:
  explicit FolderWatcher(Library& library,
                         std::chrono::milliseconds settle = std::chrono::milliseconds(1000));
  ~FolderWatcher(); // stops watching and waits for a rescan under way
  FolderWatcher(const FolderWatcher&) = delete;
  FolderWatcher& operator=(const FolderWatcher&) = delete;

  // Whether inotify watches the whole folder (false: periodic rescans).
  bool watching() const { return watching_; }

private:
  void run();
  // Adds a watch to every folder under the library's; false when one could not be added.
  bool watchAll();

  Library& library_;
  std::chrono::milliseconds settle_;
  int inotify_ = -1;
  int stop_ = -1;
  bool watching_ = false;
  std::thread thread_;
};

} // namespace tunova::catalogue
