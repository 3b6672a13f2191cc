#include "runtime/host_core.h"

#include "runtime/download_engine.h"

namespace tunova {

HostCore::HostCore() = default;

HostCore::~HostCore() {
  if (engine_) engine_->release();
}

HostCore::Window* HostCore::findWindow(const std::string& window) {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.get();
}

void HostCore::raise(Window& w, const std::string& control, EventKind kind, const EventArgs& args) {
  if (const EventBinding* b = w.definition->binding(control, kind)) {
    w.sink->handleEvent(b->handler, w.definition->name, control, args);
  }
}

void HostCore::raise(const std::string& window, const std::string& control, EventKind kind,
                     const EventArgs& args) {
  if (Window* w = findWindow(window)) raise(*w, control, kind, args);
}

bool HostCore::loadWindow(const WindowDefinition& def, EventSink& sink) {
  if (!windowSystemReady() || findWindow(def.name)) return false;
  if (firstWindow_.empty()) firstWindow_ = def.name; // dialogs belong to the main window
  std::unique_ptr<Window> made = makeWindow(def);
  if (!made) return false;
  Window& w = *made;
  w.definition = &def;
  w.sink = &sink;
  for (const Control& c : def.controls)
    makeControl(w, c);
  windows_[def.name] = std::move(made);
  finishWindow(w);
  raise(w, "", EventKind::Created, {});
  return true;
}

void HostCore::makeControl(Window& w, const Control& c) {
  switch (c.kind) {
  case ControlKind::EditBox:
    makeEditBox(w, c);
    break;
  case ControlKind::Button:
    makeButton(w, c);
    break;
  case ControlKind::Label:
    makeLabel(w, c);
    break;
  case ControlKind::ReportList:
    w.list = &c;
    makeReportList(w, c);
    break;
  case ControlKind::StatusBar:
    w.bar = &c;
    for (const Pane& p : c.panes)
      w.paneTexts.push_back(p.text);
    makeStatusBar(w, c);
    break;
  case ControlKind::Timer:
    w.periods[c.name] = c.timerPeriod;
    makeTimer(w, c);
    break;
  case ControlKind::MediaPlayer:
    makePlayer(w, c);
    break;
  case ControlKind::MenuItem: // shown by popupMenu
    break;
  }
}

bool HostCore::pressAccessKey(const std::string& window, char key) {
  Window* w = findWindow(window);
  if (!w || key == 0) return false;
  for (const Control& c : w->definition->controls) {
    if (c.accessKey != key || !c.visible || c.disabled) continue;
    // The control's own click: a button's Clicked, a label's press or release.
    for (const EventBinding& b : c.events) {
      if (b.event == EventKind::Clicked || b.event == EventKind::LeftUp ||
          b.event == EventKind::LeftDown) {
        w->sink->handleEvent(b.handler, window, c.name, {});
        return true;
      }
    }
  }
  return false;
}

bool HostCore::isWindowLoaded(const std::string& window) {
  return findWindow(window) != nullptr;
}

void HostCore::destroyWindow(const std::string& window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  std::unique_ptr<Window> w = std::move(it->second);
  windows_.erase(it);
  for (auto& [name, player] : w->players)
    player->stop();
  tearDown(*w);
  if (windows_.empty()) lastWindowClosed();
}

HostCore::Close HostCore::requestClose(const std::string& window, bool mayRefuse) {
  Window* w = findWindow(window);
  if (!w) return Close::NotOurs;
  if (waiting() && mayRefuse) {
    // A handler is waiting on the network with this window's state on its stack: the close
    // goes ahead once the wait is over (the main window's close ends that wait at once).
    closeWhenWaitEnds(window);
    return Close::Stays;
  }
  const EventBinding* query = w->definition->binding("", EventKind::CloseQuery);
  const bool mayClose = !query || w->sink->handleEvent(query->handler, window, "", {});
  if (!mayClose && mayRefuse) return Close::Stays;
  w = findWindow(window);
  if (!w) return Close::Closed; // a handler destroyed it
  raise(*w, "", EventKind::Destroying, {});
  destroyWindow(window);
  return Close::Closed;
}

std::string HostCore::caption(const std::string& window, const std::string& control) {
  Window* w = findWindow(window);
  return w ? controlText(*w, control, false) : std::string();
}

void HostCore::setCaption(const std::string& window, const std::string& control,
                          const std::string& text) {
  if (Window* w = findWindow(window)) setControlText(*w, control, false, text);
}

std::string HostCore::tagText(const std::string& window, const std::string& control) {
  Window* w = findWindow(window);
  if (!w) return {};
  const Control* c = w->definition->find(control);
  return c ? c->tagText : std::string();
}

std::string HostCore::editText(const std::string& window, const std::string& control) {
  Window* w = findWindow(window);
  return w ? controlText(*w, control, true) : std::string();
}

void HostCore::setEditText(const std::string& window, const std::string& control,
                           const std::string& text) {
  if (Window* w = findWindow(window)) setControlText(*w, control, true, text);
}

int HostCore::timerPeriod(const std::string& window, const std::string& control) {
  Window* w = findWindow(window);
  if (!w) return 0;
  auto it = w->periods.find(control);
  return it == w->periods.end() ? 0 : it->second;
}

void HostCore::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  Window* w = findWindow(window);
  if (!w || !w->periods.count(control)) return;
  w->periods[control] = ms;
  runTimer(*w, control, ms > 0 ? ms : 0);
}

// The menu titled `menuTitle` is the run of menu items below the top-level item of that
// caption; choosing one runs its Chosen handler.
void HostCore::popupMenu(const std::string& window, const std::string& menuTitle) {
  Window* w = findWindow(window);
  if (!w) return;
  std::vector<std::string> entries;
  std::vector<const EventBinding*> chosen;
  bool inside = false;
  for (const Control& c : w->definition->controls) {
    if (c.kind != ControlKind::MenuItem) continue;
    if (c.menuLevel == 0) {
      inside = c.caption == menuTitle;
      continue;
    }
    if (!inside) continue;
    entries.push_back(c.caption);
    const EventBinding* handler = nullptr;
    for (const EventBinding& b : c.events) {
      if (b.event == EventKind::Chosen) handler = &b;
    }
    chosen.push_back(handler);
  }
  if (entries.empty()) return;
  const int index = chooseFromMenu(*w, entries);
  if (index < 0 || index >= static_cast<int>(chosen.size()) || !chosen[index]) return;
  if (Window* still = findWindow(window))
    still->sink->handleEvent(chosen[index]->handler, window, "", {});
}

bool HostCore::cellInRange(Window& w, int row, int column) {
  if (!w.list || row < 0 || row >= listCount(w)) return false;
  return column >= 0 && column < static_cast<int>(w.list->columns.size());
}

void HostCore::clearRows(const std::string& window, const std::string&) {
  if (Window* w = findWindow(window); w && w->list) listClear(*w);
}

int HostCore::appendRow(const std::string& window, const std::string&) {
  Window* w = findWindow(window);
  return w && w->list ? listAppend(*w) : -1;
}

int HostCore::rowCount(const std::string& window, const std::string&) {
  Window* w = findWindow(window);
  return w && w->list ? listCount(*w) : 0;
}

void HostCore::setCell(const std::string& window, const std::string&, int row, int column,
                       const std::string& text) {
  if (Window* w = findWindow(window); w && cellInRange(*w, row, column))
    listSet(*w, row, column, text);
}

std::string HostCore::cell(const std::string& window, const std::string&, int row, int column) {
  Window* w = findWindow(window);
  return w && cellInRange(*w, row, column) ? listGet(*w, row, column) : std::string();
}

int HostCore::selectedRow(const std::string& window, const std::string&) {
  Window* w = findWindow(window);
  return w && w->list ? listSelected(*w) : -1;
}

void HostCore::setPaneText(const std::string& window, const std::string&, int pane,
                           const std::string& text) {
  Window* w = findWindow(window);
  if (!w || !w->bar || pane < 0 || pane >= static_cast<int>(w->paneTexts.size())) return;
  w->paneTexts[static_cast<std::size_t>(pane)] = text;
  barSet(*w, pane, text);
}

std::string HostCore::paneText(const std::string& window, const std::string&, int pane) {
  Window* w = findWindow(window);
  if (!w || !w->bar || pane < 0 || pane >= static_cast<int>(w->paneTexts.size())) return {};
  return w->paneTexts[static_cast<std::size_t>(pane)];
}

DownloadEngine& HostCore::downloadEngine() {
  if (!engine_) engine_ = std::make_unique<PlatformDownloadEngine>();
  return *engine_;
}

MediaPlayer* HostCore::mediaPlayer(const std::string& window, const std::string& control) {
  Window* w = findWindow(window);
  if (!w) return nullptr;
  auto it = w->players.find(control);
  return it == w->players.end() ? nullptr : it->second;
}

} // namespace tunova
