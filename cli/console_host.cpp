#include "cli/console_host.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <thread>

#include "app/settings.h"
#include "media/download.h"
#include "runtime/download_engine.h"
#include "runtime/ini_file.h"
#include "runtime/sound.h"
#include "text/codepage.h"

namespace tunova {

ConsoleHost::ConsoleHost() = default;

ConsoleHost::~ConsoleHost() {
  if (engine_) engine_->release();
}

void ConsoleHost::fire(const std::string& window, const std::string& control, EventKind event,
                       const EventArgs& args) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  const Control* c = control.empty() ? nullptr : it->second.definition->find(control);
  const std::vector<EventBinding>& events = c ? c->events : it->second.definition->events;
  for (const EventBinding& b : events) {
    if (b.event == event) it->second.sink->handleEvent(b.handler, window, control, args);
  }
}

bool ConsoleHost::choose(const std::string& title) {
  auto it = windows_.find(names().mainWindow);
  if (it == windows_.end()) return false;
  for (const Control& c : it->second.definition->controls) {
    if (c.kind != ControlKind::MenuItem || c.menuLevel != 1 || c.caption != title) continue;
    for (const EventBinding& b : c.events) {
      if (b.event == EventKind::Chosen) {
        it->second.sink->handleEvent(b.handler, names().mainWindow, "", {});
        return true;
      }
    }
  }
  return false;
}

bool ConsoleHost::loadWindow(const WindowDefinition& definition, EventSink& sink) {
  Window& w = windows_[definition.name];
  w.definition = &definition;
  w.sink = &sink;
  for (const Control& c : definition.controls) {
    if (c.name.empty()) continue;
    w.captions[c.name] = c.caption;
    if (c.kind == ControlKind::Timer) w.periods[c.name] = c.timerPeriod;
    if (c.kind == ControlKind::StatusBar) {
      for (std::size_t i = 0; i < c.panes.size(); ++i) {
        panes_[static_cast<int>(i)] = c.panes[i].text;
      }
    }
  }
  fire(definition.name, "", EventKind::Created);
  return true;
}

bool ConsoleHost::isWindowLoaded(const std::string& window) {
  return windows_.count(window) > 0;
}

void ConsoleHost::showWindow(const std::string& window, bool visible) {
  if (windows_.count(window)) windows_[window].visible = visible;
}

bool ConsoleHost::isWindowVisible(const std::string& window) {
  return windows_.count(window) && windows_[window].visible;
}

void ConsoleHost::destroyWindow(const std::string& window) {
  windows_.erase(window);
}

void ConsoleHost::runMessageLoop() {
  using namespace std::chrono;
  auto next = steady_clock::now();
  while (true) {
    // The one watching timer (the rate display) is the only thing this loop waits for.
    std::string window, timer;
    int period = 0;
    for (auto& [wname, w] : windows_) {
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

void ConsoleHost::registerExitRoutine(std::function<void()> routine) {
  exitRoutines_.push_back(std::move(routine));
}

void ConsoleHost::runExitRoutines() {
  auto routines = std::move(exitRoutines_);
  exitRoutines_.clear();
  for (auto& r : routines)
    r();
  waitForSounds(2000);
}

std::string ConsoleHost::caption(const std::string& window, const std::string& control) {
  return windows_[window].captions[control];
}

void ConsoleHost::setCaption(const std::string& window, const std::string& control,
                             const std::string& text) {
  windows_[window].captions[control] = text;
}

std::string ConsoleHost::tagText(const std::string& window, const std::string& control) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return {};
  const Control* c = it->second.definition->find(control);
  return c ? c->tagText : std::string();
}

std::string ConsoleHost::editText(const std::string& window, const std::string& control) {
  return windows_[window].edits[control];
}

void ConsoleHost::setEditText(const std::string& window, const std::string& control,
                              const std::string& text) {
  windows_[window].edits[control] = text;
}

int ConsoleHost::timerPeriod(const std::string& window, const std::string& control) {
  return windows_[window].periods[control];
}

void ConsoleHost::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  windows_[window].periods[control] = ms;
}

void ConsoleHost::clearRows(const std::string&, const std::string&) {
  rows_.clear();
  selected_ = -1;
}

int ConsoleHost::appendRow(const std::string&, const std::string&) {
  rows_.emplace_back(5);
  return static_cast<int>(rows_.size()) - 1;
}

int ConsoleHost::rowCount(const std::string&, const std::string&) {
  return static_cast<int>(rows_.size());
}

void ConsoleHost::setCell(const std::string&, const std::string&, int row, int column,
                          const std::string& text) {
  if (row >= 0 && row < static_cast<int>(rows_.size()) && column >= 0 && column < 5) {
    rows_[row][column] = text;
  }
}

std::string ConsoleHost::cell(const std::string&, const std::string&, int row, int column) {
  if (row >= 0 && row < static_cast<int>(rows_.size()) && column >= 0 && column < 5) {
    return rows_[row][column];
  }
  return {};
}

int ConsoleHost::selectedRow(const std::string&, const std::string&) {
  return selected_;
}

void ConsoleHost::setPaneText(const std::string&, const std::string&, int pane,
                              const std::string& text) {
  panes_[pane] = text;
}

std::string ConsoleHost::paneText(const std::string&, const std::string&, int pane) {
  return panes_[pane];
}

void ConsoleHost::messageBox(const std::string& text) {
  messages_.push_back(text);
  std::fprintf(stderr, "%s\n", toUtf8(text).c_str());
}

void ConsoleHost::setClipboardText(const std::string& text) {
  std::printf("%s\n", toUtf8(text).c_str());
}

std::string ConsoleHost::runFolder() {
  char buf[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return fromUtf8(slash == 0 ? "/" : path.substr(0, slash));
}

bool ConsoleHost::isSettingsFile(const std::string& path) {
  return folderOverride_ && path == runFolder() + kPathSeparator + "bc.ini";
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
  if (!engine_) engine_ = std::make_unique<CurlDownloadEngine>();
  return *engine_;
}

} // namespace tunova
