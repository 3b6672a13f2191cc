#include "cli/console_host.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "http/http_request.h"
#include "media/download.h"
#include "runtime/download_engine.h"
#include "runtime/ini_file.h"
#include "runtime/process.h"
#include "runtime/sound.h"
#include "settings/settings.h"
#include "text/codepage.h"

namespace tunova {

// The platform engine, with a record of what became of each task: the program's handler takes
// the ends, and the terminal reports them per song.
class WatchedEngine : public DownloadEngine {
public:
  int start(const DownloadTask& task) override {
    const int id = inner_.start(task);
    if (id > 0) {
      tasks_[id].path = task.path;
      lastId_ = id;
    }
    return id;
  }
  std::int32_t currentRate() override { return inner_.currentRate(); }
  std::vector<DownloadEnd> takeEnded() override {
    std::vector<DownloadEnd> ended = inner_.takeEnded();
    for (const DownloadEnd& end : ended) {
      TaskRecord& record = tasks_[end.id];
      record.ended = true;
      record.end = end;
    }
    return ended;
  }
  int runningCount() override { return inner_.runningCount(); }
  void release() override { inner_.release(); }

  // An end is waiting when fewer tasks run than have been started and not yet taken (a task
  // refused at its start never runs, and waits all the same).
  bool endWaiting() {
    int open = 0;
    for (const auto& [id, record] : tasks_)
      open += record.ended ? 0 : 1;
    return inner_.runningCount() < open;
  }
  const std::map<int, TaskRecord>& tasks() const { return tasks_; }
  int lastId() const { return lastId_; }

private:
  PlatformDownloadEngine inner_;
  std::map<int, TaskRecord> tasks_;
  int lastId_ = 0;
};

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
  finishAbandonedRequests();
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
  if (!engine_) engine_ = std::make_unique<WatchedEngine>();
  return *engine_;
}

const std::map<int, TaskRecord>& ConsoleHost::tasks() const {
  static const std::map<int, TaskRecord> none;
  return engine_ ? engine_->tasks() : none;
}

int ConsoleHost::lastTaskId() const {
  return engine_ ? engine_->lastId() : 0;
}

bool ConsoleHost::endWaiting() {
  return engine_ && engine_->endWaiting();
}

std::int32_t ConsoleHost::currentRate() {
  return engine_ ? engine_->currentRate() : 0;
}

} // namespace tunova
