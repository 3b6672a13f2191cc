#include "fake_host.h"

#include <cstdlib>

#include "runtime/ini_file.h"
#include "text/codepage.h"

namespace tunova::test {

FakeHost::FakeHost() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tunova-test-XXXXXX").string();
  folder = ::mkdtemp(pattern.data());
}

FakeHost::~FakeHost() {
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

bool FakeHost::fire(const std::string& window, const std::string& control, EventKind event,
                    const EventArgs& args) {
  auto it = windows.find(window);
  if (it == windows.end() || !it->second.sink) return true;
  const WindowDefinition& def = *it->second.definition;
  const std::vector<EventBinding>* events = &def.events;
  if (!control.empty()) {
    const Control* c = def.find(control);
    if (!c) return true;
    events = &c->events;
  }
  for (const EventBinding& b : *events) {
    if (b.event == event) return it->second.sink->handleEvent(b.handler, window, control, args);
  }
  return true;
}

bool FakeHost::choose(const std::string& title) {
  auto it = windows.find(names().mainWindow);
  if (it == windows.end()) return false;
  for (const Control& c : it->second.definition->controls) {
    if (c.kind == ControlKind::MenuItem && c.menuLevel == 1 && c.caption == title) {
      for (const EventBinding& b : c.events) {
        if (b.event == EventKind::Chosen) {
          it->second.sink->handleEvent(b.handler, names().mainWindow, "", {});
          return true;
        }
      }
    }
  }
  return false;
}

void FakeHost::exit() {
  auto routines = std::move(exitRoutines_);
  for (auto& r : routines)
    r();
}

bool FakeHost::loadWindow(const WindowDefinition& definition, EventSink& sink) {
  if (refuseLoad && definition.name == names().playerWindow) return false;
  ++loads;
  Window& w = windows[definition.name];
  w.definition = &definition;
  w.sink = &sink;
  w.visible = true;
  for (const Control& c : definition.controls) {
    if (c.name.empty()) continue;
    w.captions[c.name] = c.caption;
    if (c.kind == ControlKind::Timer) w.periods[c.name] = c.timerPeriod;
    if (c.kind == ControlKind::StatusBar) {
      for (std::size_t i = 0; i < c.panes.size(); ++i)
        panes[static_cast<int>(i)] = c.panes[i].text;
    }
  }
  for (const EventBinding& b : definition.events) {
    if (b.event == EventKind::Created) sink.handleEvent(b.handler, definition.name, "", {});
  }
  return true;
}

bool FakeHost::isWindowLoaded(const std::string& window) {
  return windows.count(window) > 0;
}

void FakeHost::showWindow(const std::string& window, bool visible) {
  if (windows.count(window)) windows[window].visible = visible;
}

bool FakeHost::isWindowVisible(const std::string& window) {
  return windows.count(window) && windows[window].visible;
}

void FakeHost::destroyWindow(const std::string& window) {
  if (windows.erase(window)) destroyed.push_back(window);
}

void FakeHost::registerExitRoutine(std::function<void()> routine) {
  exitRoutines_.push_back(std::move(routine));
}

std::string FakeHost::caption(const std::string& window, const std::string& control) {
  return windows[window].captions[control];
}

void FakeHost::setCaption(const std::string& window, const std::string& control,
                          const std::string& text) {
  windows[window].captions[control] = text;
}

std::string FakeHost::tagText(const std::string& window, const std::string& control) {
  auto it = windows.find(window);
  if (it == windows.end()) return {};
  const Control* c = it->second.definition->find(control);
  return c ? c->tagText : std::string();
}

std::string FakeHost::editText(const std::string& window, const std::string& control) {
  return windows[window].edits[control];
}

void FakeHost::setEditText(const std::string& window, const std::string& control,
                           const std::string& text) {
  windows[window].edits[control] = text;
}

int FakeHost::timerPeriod(const std::string& window, const std::string& control) {
  return windows[window].periods[control];
}

void FakeHost::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  windows[window].periods[control] = ms;
  timerHistory.emplace_back(control, ms);
}

void FakeHost::popupMenu(const std::string& window, const std::string& menuTitle) {
  popups.push_back(menuTitle);
}

void FakeHost::clearRows(const std::string&, const std::string&) {
  if (onClear) onClear();
  ++clearCount;
  rows.clear();
  selected = -1;
}

int FakeHost::appendRow(const std::string&, const std::string&) {
  rows.emplace_back(5);
  return static_cast<int>(rows.size()) - 1;
}

int FakeHost::rowCount(const std::string&, const std::string&) {
  return static_cast<int>(rows.size());
}

void FakeHost::setCell(const std::string&, const std::string&, int row, int column,
                       const std::string& text) {
  if (row >= 0 && row < static_cast<int>(rows.size()) && column >= 0 && column < 5) {
    rows[row][column] = text;
  }
}

std::string FakeHost::cell(const std::string&, const std::string&, int row, int column) {
  if (row >= 0 && row < static_cast<int>(rows.size()) && column >= 0 && column < 5) {
    return rows[row][column];
  }
  return {};
}

int FakeHost::selectedRow(const std::string&, const std::string&) {
  return selected;
}

void FakeHost::setPaneText(const std::string&, const std::string&, int pane,
                           const std::string& text) {
  panes[pane] = text;
}

std::string FakeHost::paneText(const std::string&, const std::string&, int pane) {
  return panes[pane];
}

std::string FakeHost::runFolder() {
  return fromUtf8(folder.string());
}

bool FakeHost::fileExists(const std::string& path) {
  return fileExistsAt(path);
}

std::string FakeHost::readIni(const std::string& path, const std::string& section,
                              const std::string& key) {
  return readIniValue(path, section, key);
}

bool FakeHost::writeIni(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
  if (failIniWrites) return false;
  return writeIniValue(path, section, key, value);
}

std::string FakeHost::chooseFolder(const std::string& title, bool) {
  lastPickerTitle = title;
  return pickerResult;
}

MediaPlayer* FakeHost::mediaPlayer(const std::string& window, const std::string&) {
  return windows.count(window) ? &player : nullptr;
}

} // namespace tunova::test
