#include "runtime/platform_host.h"

#include "http/http_request.h"
#include "runtime/ini_file.h"
#include "runtime/process.h"

namespace tunova {

std::string PlatformHost::runFolder() {
  return programFolderOfProcess();
}

std::string PlatformHost::userSettingsFolder() {
  return userSettingsFolderOfProcess();
}

bool PlatformHost::canWriteFolder(const std::string& folder) {
  return folderWritable(folder);
}

bool PlatformHost::fileExists(const std::string& path) {
  return fileExistsAt(path);
}

std::string PlatformHost::readIni(const std::string& path, const std::string& section,
                                  const std::string& key) {
  return readIniValue(path, section, key);
}

bool PlatformHost::writeIni(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& value) {
  return writeIniValue(path, section, key, value);
}

void PlatformHost::registerExitRoutine(std::function<void()> routine) {
  exitRoutines_.push_back(std::move(routine));
}

void PlatformHost::runExitRoutines() {
  auto routines = std::move(exitRoutines_);
  exitRoutines_.clear();
  for (auto& r : routines)
    r();
  waitForPendingSounds();
  finishAbandonedRequests();
}

void PlatformHost::beginWait() {
  if (waitDepth_++ > 0) return;
  waitStart_ = lastYield_ = std::chrono::steady_clock::now();
}

bool PlatformHost::keepAlive() {
  using namespace std::chrono_literals;
  if (waitDepth_ == 0) return true;
  // A short wait shows nothing; past that the windows are serviced every few tens of
  // milliseconds: paints, the window manager's pings, timers, and input, which reaches only
  // the disabled controls and is dropped.
  const auto now = std::chrono::steady_clock::now();
  if (now - waitStart_ >= 100ms && now - lastYield_ >= 25ms) {
    if (!holding_) {
      holding_ = true;
      holdInput();
    }
    lastYield_ = now;
    serviceWindows();
  }
  return closesAsked_.count(firstWindow_) == 0;
}

void PlatformHost::endWait() {
  if (waitDepth_ == 0 || --waitDepth_ > 0) return;
  if (holding_) {
    holding_ = false;
    releaseInput();
  }
  std::set<std::string> closes;
  closes.swap(closesAsked_);
  for (const std::string& name : closes)
    closeAfterWait(name);
}

} // namespace tunova
