#include "cli/memory_host.h"

namespace tunova {

namespace {

constexpr int kColumns = 5;

} // namespace

bool MemoryHost::fire(const std::string& window, const std::string& control, EventKind event,
                      const EventArgs& args) {
  auto it = windows.find(window);
  if (it == windows.end() || !it->second.sink) return true;
  const EventBinding* b = it->second.definition->binding(control, event);
  return b ? it->second.sink->handleEvent(b->handler, window, control, args) : true;
}

bool MemoryHost::choose(const std::string& title) {
  for (auto& [name, w] : windows) {
    for (const Control& c : w.definition->controls) {
      if (c.kind != ControlKind::MenuItem || c.menuLevel != 1 || c.caption != title) continue;
      for (const EventBinding& b : c.events) {
        if (b.event == EventKind::Chosen) {
          w.sink->handleEvent(b.handler, name, "", {});
          return true;
        }
      }
    }
  }
  return false;
}

void MemoryHost::runExitRoutines() {
  auto routines = std::move(exitRoutines_);
  exitRoutines_.clear();
  for (auto& r : routines)
    r();
}

bool MemoryHost::loadWindow(const WindowDefinition& definition, EventSink& sink) {
  Window& w = windows[definition.name];
  w.definition = &definition;
  w.sink = &sink;
  w.visible = definition.visible;
  for (const Control& c : definition.controls) {
    if (c.name.empty()) continue;
    w.captions[c.name] = c.caption;
    if (c.kind == ControlKind::Timer) w.periods[c.name] = c.timerPeriod;
    if (c.kind == ControlKind::StatusBar) {
      for (std::size_t i = 0; i < c.panes.size(); ++i)
        panes[static_cast<int>(i)] = c.panes[i].text;
    }
  }
  fire(definition.name, "", EventKind::Created);
  return true;
}

bool MemoryHost::isWindowLoaded(const std::string& window) {
  return windows.count(window) > 0;
}

void MemoryHost::showWindow(const std::string& window, bool visible) {
  if (auto it = windows.find(window); it != windows.end()) it->second.visible = visible;
}

bool MemoryHost::isWindowVisible(const std::string& window) {
  auto it = windows.find(window);
  return it != windows.end() && it->second.visible;
}

void MemoryHost::destroyWindow(const std::string& window) {
  windows.erase(window);
}

void MemoryHost::registerExitRoutine(std::function<void()> routine) {
  exitRoutines_.push_back(std::move(routine));
}

std::string MemoryHost::caption(const std::string& window, const std::string& control) {
  return windows[window].captions[control];
}

void MemoryHost::setCaption(const std::string& window, const std::string& control,
                            const std::string& text) {
  windows[window].captions[control] = text;
}

std::string MemoryHost::tagText(const std::string& window, const std::string& control) {
  auto it = windows.find(window);
  if (it == windows.end()) return {};
  const Control* c = it->second.definition->find(control);
  return c ? c->tagText : std::string();
}

std::string MemoryHost::editText(const std::string& window, const std::string& control) {
  return windows[window].edits[control];
}

void MemoryHost::setEditText(const std::string& window, const std::string& control,
                             const std::string& text) {
  windows[window].edits[control] = text;
}

int MemoryHost::timerPeriod(const std::string& window, const std::string& control) {
  return windows[window].periods[control];
}

void MemoryHost::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  windows[window].periods[control] = ms;
}

void MemoryHost::clearRows(const std::string&, const std::string&) {
  rows.clear();
  selected = -1;
}

int MemoryHost::appendRow(const std::string&, const std::string&) {
  rows.emplace_back(kColumns);
  return static_cast<int>(rows.size()) - 1;
}

int MemoryHost::rowCount(const std::string&, const std::string&) {
  return static_cast<int>(rows.size());
}

void MemoryHost::setCell(const std::string&, const std::string&, int row, int column,
                         const std::string& text) {
  if (row >= 0 && row < static_cast<int>(rows.size()) && column >= 0 && column < kColumns) {
    rows[row][column] = text;
  }
}

std::string MemoryHost::cell(const std::string&, const std::string&, int row, int column) {
  if (row >= 0 && row < static_cast<int>(rows.size()) && column >= 0 && column < kColumns) {
    return rows[row][column];
  }
  return {};
}

int MemoryHost::selectedRow(const std::string&, const std::string&) {
  return selected;
}

void MemoryHost::setPaneText(const std::string&, const std::string&, int pane,
                             const std::string& text) {
  panes[pane] = text;
}

std::string MemoryHost::paneText(const std::string&, const std::string&, int pane) {
  return panes[pane];
}

} // namespace tunova
