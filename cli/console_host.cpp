#include "cli/console_host.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "media/download.h"
#include "runtime/download_engine.h"
#include "runtime/ini_file.h"
#include "runtime/process.h"
#include "runtime/sound.h"
#include "settings/settings.h"
#include "text/codepage.h"

namespace tunova {

ConsoleHost::ConsoleHost() = default;

ConsoleHost::~ConsoleHost() {
  if (engine_) engine_->release();
}

void ConsoleHost::runMessageLoop() {
  using namespace std::chrono;
  auto next = steady_clock::now();
  while (true) {
    // The one watching timer (the rate display) is the only thing this loop waits for.
    std::string window, timer;
    int period = 0;
    for (auto& [wname, w] : windows) {
      for (auto& [tname, p] : w.periods) {
        if (p > 0 && p < kIdlePeriodMs) {
          window = wname;
          timer = tname;
          period = p;
        }
      }
    }
    if (period == 0) break;
    next += milliseconds(period);
    std::this_thread::sleep_until(next);
    fire(window, timer, EventKind::Tick);
    if (afterTick) afterTick();
  }
}

void ConsoleHost::finish() {
  runExitRoutines();
  waitForSounds(2000);
}

void ConsoleHost::messageBox(const std::string& text) {
  messages_.push_back(text);
  std::fprintf(stderr, "%s\n", toUtf8(text).c_str());
}

void ConsoleHost::setClipboardText(const std::string& text) {
  std::printf("%s\n", toUtf8(text).c_str());
}

std::string ConsoleHost::runFolder() {
  return programFolderOfProcess();
}

std::string ConsoleHost::userSettingsFolder() {
  return userSettingsFolderOfProcess();
}

bool ConsoleHost::canWriteFolder(const std::string& folder) {
  return folderWritable(folder);
}

bool ConsoleHost::isSettingsFile(const std::string& path) {
  const std::string user = userSettingsFolder();
  return folderOverride_ && (path == runFolder() + kPathSeparator + "bc.ini" ||
                             (!user.empty() && path == user + kPathSeparator + "bc.ini"));
}

bool ConsoleHost::fileExists(const std::string& path) {
  return isSettingsFile(path) || fileExistsAt(path);
}

std::string ConsoleHost::readIni(const std::string& path, const std::string& section,
                                 const std::string& key) {
  if (isSettingsFile(path)) return *folderOverride_ + kPathSeparator;
  return readIniValue(path, section, key);
}

bool ConsoleHost::writeIni(const std::string& path, const std::string& section,
                           const std::string& key, const std::string& value) {
  if (isSettingsFile(path)) return false; // --folder writes nothing
  return writeIniValue(path, section, key, value);
}

void ConsoleHost::playSound(const Bytes& wave) {
  playWaveAsync(wave);
}

DownloadEngine& ConsoleHost::downloadEngine() {
  if (!engine_) engine_ = std::make_unique<PlatformDownloadEngine>();
  return *engine_;
}

} // namespace tunova
