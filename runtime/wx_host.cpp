#include "runtime/wx_host.h"

#include <dlfcn.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/clipbrd.h>
#include <wx/dirdlg.h>
#include <wx/frame.h>
#include <wx/generic/stattextg.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <string>
#include <thread>

#include "runtime/download_engine.h"
#include "runtime/media_backend.h"
#include "runtime/process.h"
#include "text/codepage.h"

namespace tunova {

namespace {

wxString wx(const std::string& gbkText) {
  return wxString::FromUTF8(toUtf8(gbkText));
}

// The geometry was drawn for a small UI font; GTK's default is larger, so the windows use a
// compact CJK face at a size where every caption reads in full.
constexpr const char* kUiFace = "Noto Sans CJK SC";
constexpr int kUiPoints = 9;

wxFont uiFont() {
  wxFont font(wxFontInfo(kUiPoints).FaceName(kUiFace));
  if (!font.IsOk()) font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
  return font;
}

// A 32 x 32 icon of our own: a round blue badge with a white note.
wxIcon appIcon() {
  wxImage img(32, 32);
  img.InitAlpha();
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const double dx = x - 15.5, dy = y - 15.5;
      const bool inside = dx * dx + dy * dy <= 15.5 * 15.5;
      const bool stem = x >= 17 && x <= 19 && y >= 7 && y <= 22;
      const bool flag = y >= 7 && y <= 10 && x >= 17 && x <= 24;
      const double hx = x - 14.0, hy = y - 22.0;
      const bool head = hx * hx / 20.0 + hy * hy / 10.0 <= 1.0;
      if (inside && (stem || flag || head)) {
        img.SetRGB(x, y, 255, 255, 255);
      } else {
        img.SetRGB(x, y, 30, 110, 200);
      }
      img.SetAlpha(x, y, inside ? 255 : 0);
    }
  }
  wxIcon icon;
  icon.CopyFromBitmap(wxBitmap(img));
  return icon;
}

int keyCodeOf(const wxKeyEvent& e) {
  const int k = e.GetKeyCode();
  if (k == WXK_RETURN || k == WXK_NUMPAD_ENTER) return 13;
  if (k == WXK_ESCAPE) return 27;
  if (k == WXK_BACK) return 8;
  if (k == WXK_TAB) return 9;
  if (k >= 'a' && k <= 'z') return k - 'a' + 'A';
  return k;
}

// The row whose bounds hold `point` (list client coordinates), or -1. The rows' own rectangles
// are used because the generic list's HitTest measures from below the column header while
// GetItemRect measures from the top of the control.
long rowAt(wxListCtrl* list, const wxPoint& point) {
  const long first = std::max(0L, list->GetTopItem());
  const long last = std::min<long>(list->GetItemCount(), first + list->GetCountPerPage() + 2);
  for (long i = first; i < last; ++i) {
    wxRect rect;
    if (list->GetItemRect(i, rect) && rect.Contains(point)) return i;
  }
  return -1;
}

// Makes `row` the one selected and focused row of a single-selection list.
void selectOnly(wxListCtrl* list, long row) {
  for (long i = list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED); i >= 0;
       i = list->GetNextItem(i, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED)) {
    if (i != row) list->SetItemState(i, 0, wxLIST_STATE_SELECTED);
  }
  list->SetItemState(row, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                     wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
}

int modifiersOf(const wxKeyboardState& s) {
  return (s.ShiftDown() ? 1 : 0) | (s.ControlDown() ? 2 : 0) | (s.AltDown() ? 4 : 0);
}

class TunovaApp : public wxApp {
public:
  bool OnInit() override { return true; }
  // The program reads no command line: nothing is declared or parsed.
  void OnInitCmdLine(wxCmdLineParser&) override {}
  bool OnCmdLineParsed(wxCmdLineParser&) override { return true; }
};

bool g_toolkitStarted = false;

// Reads the font configuration (a few dozen files and the font caches) on another core while
// the toolkit starts; the first text measured later finds it ready. The library is thread-safe
// and already loaded with the toolkit.
void loadFontConfigurationInBackground() {
  void* fontconfig = dlopen("libfontconfig.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (!fontconfig) return;
  using Init = int (*)();
  auto init = reinterpret_cast<Init>(dlsym(fontconfig, "FcInit"));
  if (init) std::thread([init] { init(); }).detach();
}

// GTK measures some widgets with its own default font before the toolkit applies ours: the edit
// box looks for a password glyph, and the list's header height is taken from a bold header
// button. Making our face GTK's default (and the header's weight regular, as the list draws its
// captions) means one face is opened at start-up instead of three.
void makeUiFontTheDefault() {
  void* gtk = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (!gtk) return;
  using GetSettings = void* (*)();
  using SetProperty = void (*)(void*, const char*, ...);
  using NewProvider = void* (*)();
  using LoadData = int (*)(void*, const char*, long, void**);
  using GetScreen = void* (*)();
  using AddProvider = void (*)(void*, void*, unsigned);
  using Unref = void (*)(void*);
  auto settings = reinterpret_cast<GetSettings>(dlsym(gtk, "gtk_settings_get_default"));
  auto set = reinterpret_cast<SetProperty>(dlsym(gtk, "g_object_set"));
  auto newProvider = reinterpret_cast<NewProvider>(dlsym(gtk, "gtk_css_provider_new"));
  auto load = reinterpret_cast<LoadData>(dlsym(gtk, "gtk_css_provider_load_from_data"));
  auto screen = reinterpret_cast<GetScreen>(dlsym(gtk, "gdk_screen_get_default"));
  auto add = reinterpret_cast<AddProvider>(dlsym(gtk, "gtk_style_context_add_provider_for_screen"));
  auto unref = reinterpret_cast<Unref>(dlsym(gtk, "g_object_unref"));
  if (!settings || !set || !newProvider || !load || !screen || !add || !unref) return;
  void* current = settings();
  if (!current || !screen()) return;
  const std::string name = std::string(kUiFace) + " " + std::to_string(kUiPoints);
  set(current, "gtk-font-name", name.c_str(), nullptr);
  void* provider = newProvider();
  if (!provider) return;
  static const char css[] = "treeview.view header button { font-weight: normal; }";
  if (load(provider, css, -1, nullptr)) {
    add(screen(), provider, 600); // GTK_STYLE_PROVIDER_PRIORITY_APPLICATION
  }
  unref(provider);
}

} // namespace

std::string gbkOf(const wxString& text) {
  return fromUtf8(std::string(text.utf8_str()));
}

bool startToolkit(int argc, char** argv) {
  if (g_toolkitStarted) return true;
  if (!displayAvailable()) return false;
  loadFontConfigurationInBackground();
  wxApp::SetInstance(new TunovaApp());
  // The program reads no command line, and its name is fixed: the toolkit takes the window
  // class from it ("Tunova", which the desktop entry names), whatever the file is called.
  static char name[] = "tunova";
  static char* fixedArgv[] = {name, nullptr};
  int count = 1;
  if (!wxEntryStart(count, fixedArgv)) return false;
  // No dialogs from the toolkit: its log goes to standard error.
  delete wxLog::SetActiveTarget(new wxLogStderr());
  wxTheApp->CallOnInit();
  makeUiFontTheDefault();
  wxTheApp->SetExitOnFrameDelete(true);
  g_toolkitStarted = true;
  return true;
}

void stopToolkit() {
  if (!g_toolkitStarted) return;
  wxTheApp->OnExit();
  wxEntryCleanup();
  g_toolkitStarted = false;
}

struct WxHost::WindowState {
  const WindowDefinition* definition = nullptr;
  EventSink* sink = nullptr;
  wxFrame* frame = nullptr;
  wxPanel* panel = nullptr;
  std::map<std::string, wxWindow*> controls;
  std::map<std::string, wxTimer*> timers;
  std::map<std::string, int> periods;
  std::map<std::string, std::string> captions;
  wxListCtrl* list = nullptr;
  std::string listName;
  wxStatusBar* bar = nullptr;
  std::map<int, HandlerId> menuHandlers;
  std::map<std::string, MediaPlayer*> players;
  bool destroying = false;
};

WxHost::WxHost(const MediaBackend* media) : media_(media) {}

const MediaBackend* WxHost::media() {
  if (!media_) media_ = loadedMediaBackend();
  return media_;
}

WxHost::~WxHost() {
  if (engine_) engine_->release();
}

WxHost::WindowState* WxHost::find(const std::string& window) {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.get();
}

void WxHost::raise(WindowState& w, const std::string& control, EventKind kind,
                   const EventArgs& args) {
  if (const EventBinding* b = w.definition->binding(control, kind)) {
    w.sink->handleEvent(b->handler, w.definition->name, control, args);
  }
}

bool WxHost::loadWindow(const WindowDefinition& def, EventSink& sink) {
  if (!wxTheApp || find(def.name)) return false;
  if (firstWindow_.empty()) firstWindow_ = def.name; // dialogs belong to the main window
  auto state = std::make_unique<WindowState>();
  WindowState& w = *state;
  w.definition = &def;
  w.sink = &sink;
  w.frame = new wxFrame(nullptr, wxID_ANY, wx(def.caption), wxPoint(def.left, def.top),
                        wxSize(def.width, def.height),
                        wxDEFAULT_FRAME_STYLE & ~(wxRESIZE_BORDER | wxMAXIMIZE_BOX));
  w.frame->SetFont(uiFont());
  if (def.hasIcon) w.frame->SetIcon(appIcon());
  w.panel = new wxPanel(w.frame);
  w.panel->SetFont(uiFont());
  const std::string windowName = def.name;

  bool hasMenu = false;
  for (const Control& c : def.controls) {
    const wxPoint pos(c.left, c.top);
    const wxSize size(c.width, c.height);
    wxWindow* made = nullptr;
    switch (c.kind) {
    case ControlKind::EditBox: {
      auto* edit = new wxTextCtrl(w.panel, wxID_ANY, wx(c.caption), pos, size, wxTE_PROCESS_ENTER);
      edit->Bind(wxEVT_KEY_DOWN, [this, windowName, name = c.name](wxKeyEvent& e) {
        e.Skip(); // the key still reaches the edit box
        if (WindowState* ws = find(windowName)) {
          EventArgs a;
          a.keyCode = keyCodeOf(e);
          a.modifiers = modifiersOf(e);
          raise(*ws, name, EventKind::KeyDown, a);
        }
      });
      edit->Bind(wxEVT_LEFT_DCLICK, [this, windowName, name = c.name](wxMouseEvent& e) {
        if (WindowState* ws = find(windowName)) {
          EventArgs a;
          a.x = e.GetX();
          a.y = e.GetY();
          a.modifiers = modifiersOf(e);
          raise(*ws, name, EventKind::DoubleClick, a);
        }
      });
      made = edit;
      break;
    }
    case ControlKind::Button: {
      auto* button = new wxButton(w.panel, wxID_ANY, wx(c.caption), pos, size);
      button->Bind(wxEVT_BUTTON, [this, windowName, name = c.name](wxCommandEvent&) {
        if (WindowState* ws = find(windowName)) raise(*ws, name, EventKind::Clicked, {});
      });
      made = button;
      break;
    }
    case ControlKind::Label: {
      auto* label = new wxGenericStaticText(w.panel, wxID_ANY, wx(c.caption), pos, size,
                                            wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
      bool clickable = false;
      for (const EventBinding& b : c.events) {
        const EventKind kind = b.event;
        if (kind != EventKind::LeftUp && kind != EventKind::LeftDown) continue;
        clickable = true;
        label->Bind(kind == EventKind::LeftUp ? wxEVT_LEFT_UP : wxEVT_LEFT_DOWN,
                    [this, windowName, name = c.name, kind](wxMouseEvent& e) {
                      e.Skip();
                      if (WindowState* ws = find(windowName)) {
                        EventArgs a;
                        a.x = e.GetX();
                        a.y = e.GetY();
                        a.modifiers = modifiersOf(e);
                        raise(*ws, name, kind, a);
                      }
                    });
      }
      if (clickable) {
        label->SetCursor(wxCursor(wxCURSOR_HAND));
        label->SetForegroundColour(wxColour(20, 90, 180));
      }
      made = label;
      break;
    }
    case ControlKind::ReportList: {
      auto* list = new wxListCtrl(w.panel, wxID_ANY, pos, size, wxLC_REPORT | wxLC_SINGLE_SEL);
      for (std::size_t i = 0; i < c.columns.size(); ++i) {
        const Column& col = c.columns[i];
        const int align = col.alignment == Alignment::Right    ? wxLIST_FORMAT_RIGHT
                          : col.alignment == Alignment::Center ? wxLIST_FORMAT_CENTRE
                                                               : wxLIST_FORMAT_LEFT;
        list->AppendColumn(wx(col.title), static_cast<wxListColumnFormat>(align), col.width);
      }
      // A right-click acts on the row under the pointer. The toolkit's own item notification
      // is not used: on a freshly filled list without a focused row it reports index -1 (and
      // selecting -1 selects every row), and it arrives twice for one click, so the pointer's
      // press itself is taken on the list's row area and the row found from its position. A
      // press below the last row selects nothing and opens no menu.
      for (wxWindow* area : list->GetChildren()) {
        area->Bind(wxEVT_RIGHT_DOWN, [this, windowName, name = c.name, list](wxMouseEvent&) {
          list->SetFocus();
          const long row = rowAt(list, list->ScreenToClient(wxGetMousePosition()));
          if (row < 0) return;
          selectOnly(list, row);
          if (WindowState* ws = find(windowName)) raise(*ws, name, EventKind::ItemRightClick, {});
        });
      }
      // The keyboard's menu key and Shift+F10 open the same menu for the selected row. A
      // context-menu request from the mouse has a position and is already served above.
      list->Bind(wxEVT_CONTEXT_MENU,
                 [this, windowName, name = c.name, list](wxContextMenuEvent& e) {
                   if (e.GetPosition() != wxDefaultPosition) return;
                   if (list->GetSelectedItemCount() == 0) return;
                   if (WindowState* ws = find(windowName))
                     raise(*ws, name, EventKind::ItemRightClick, {});
                 });
      list->Bind(wxEVT_LIST_ITEM_ACTIVATED, [this, windowName, name = c.name](wxListEvent&) {
        if (WindowState* ws = find(windowName)) raise(*ws, name, EventKind::DoubleClick, {});
      });
      w.list = list;
      w.listName = c.name;
      made = list;
      break;
    }
    case ControlKind::StatusBar: {
      wxStatusBar* bar = w.frame->CreateStatusBar(static_cast<int>(c.panes.size()),
                                                  wxSTB_DEFAULT_STYLE & ~wxSTB_SIZEGRIP);
      std::vector<int> widths;
      for (const Pane& p : c.panes)
        widths.push_back(p.width);
      bar->SetStatusWidths(static_cast<int>(widths.size()), widths.data());
      for (std::size_t i = 0; i < c.panes.size(); ++i) {
        bar->SetStatusText(wx(c.panes[i].text), static_cast<int>(i));
      }
      bar->SetFont(uiFont());
      w.bar = bar;
      made = bar;
      break;
    }
    case ControlKind::Timer: {
      auto* timer = new wxTimer(w.frame);
      w.frame->Bind(
          wxEVT_TIMER,
          [this, windowName, name = c.name](wxTimerEvent&) {
            if (WindowState* ws = find(windowName)) raise(*ws, name, EventKind::Tick, {});
          },
          timer->GetId());
      w.timers[c.name] = timer;
      w.periods[c.name] = c.timerPeriod;
      if (c.timerPeriod > 0) timer->Start(c.timerPeriod);
      break;
    }
    case ControlKind::MediaPlayer: {
      // Without the media module the player's place stays empty and playback is dropped.
      const MediaBackend* backend = media();
      if (!backend) break;
      const MadePlayer player = backend->makePlayer(w.panel, c);
      w.players[c.name] = player.player;
      made = player.window;
      break;
    }
    case ControlKind::MenuItem:
      hasMenu = true;
      break;
    }
    if (made) {
      if (!c.name.empty()) w.controls[c.name] = made;
      if (!c.visible) made->Hide();
    }
    w.captions[c.name] = c.caption;
  }
  if (hasMenu) {
    w.frame->Bind(wxEVT_MENU, [this, windowName](wxCommandEvent& e) {
      WindowState* ws = find(windowName);
      if (!ws) return;
      auto it = ws->menuHandlers.find(e.GetId());
      if (it != ws->menuHandlers.end()) {
        ws->sink->handleEvent(it->second, windowName, "", {});
      }
    });
  }

  w.frame->Bind(wxEVT_CLOSE_WINDOW, [this, windowName](wxCloseEvent& e) {
    WindowState* ws = find(windowName);
    if (!ws) {
      e.Skip();
      return;
    }
    if (waiting() && e.CanVeto()) {
      // A handler is waiting on the network with this window's state on its stack: the close
      // goes ahead once the wait is over (the main window's close ends that wait at once).
      closeWhenWaitEnds(windowName);
      e.Veto();
      return;
    }
    const EventBinding* query = ws->definition->binding("", EventKind::CloseQuery);
    const bool mayClose = !query || ws->sink->handleEvent(query->handler, windowName, "", {});
    if (!mayClose && e.CanVeto()) {
      e.Veto();
      return;
    }
    ws = find(windowName);
    if (!ws) return; // a handler destroyed it
    raise(*ws, "", EventKind::Destroying, {});
    destroyWindow(windowName);
  });

  w.frame->Show(def.visible);
  WindowState& placed = *state;
  windows_[def.name] = std::move(state);
  raise(placed, "", EventKind::Created, {});
  return true;
}

bool WxHost::isWindowLoaded(const std::string& window) {
  return find(window) != nullptr;
}

void WxHost::showWindow(const std::string& window, bool visible) {
  if (WindowState* w = find(window)) {
    w->frame->Show(visible);
    if (visible) w->frame->Raise();
  }
}

bool WxHost::isWindowVisible(const std::string& window) {
  WindowState* w = find(window);
  return w && w->frame->IsShown();
}

void WxHost::destroyWindow(const std::string& window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  std::unique_ptr<WindowState> w = std::move(it->second);
  windows_.erase(it);
  for (auto& [name, player] : w->players)
    player->stop();
  for (auto& [name, timer] : w->timers) {
    timer->Stop();
    delete timer;
  }
  w->frame->Destroy(); // no close query
}

void WxHost::runMessageLoop() {
  if (wxTheApp && !windows_.empty()) wxTheApp->OnRun();
  runExitRoutines();
}

void WxHost::serviceWindows() {
  if (wxTheApp) wxTheApp->Yield(true);
}

void WxHost::closeAfterWait(const std::string& window) {
  wxTheApp->CallAfter([this, window] {
    if (WindowState* w = find(window)) w->frame->Close();
  });
}

void WxHost::holdInput() {
  if (WindowState* w = find(firstWindow_)) {
    focusedControl_.clear();
    if (wxWindow* focus = wxWindow::FindFocus()) {
      for (const auto& [name, control] : w->controls) {
        if (control == focus || control->IsDescendant(focus)) focusedControl_ = name;
      }
    }
    w->panel->Disable();
  }
  wxBeginBusyCursor();
}

void WxHost::releaseInput() {
  wxEndBusyCursor();
  if (WindowState* w = find(firstWindow_)) {
    w->panel->Enable();
    auto it = w->controls.find(focusedControl_);
    if (it != w->controls.end()) it->second->SetFocus();
  }
}

void WxHost::waitForPendingSounds() {
  if (media_) media_->waitForSounds(2000); // a sound was played only if the backend is there
}

std::string WxHost::caption(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return {};
  auto it = w->controls.find(control);
  if (it == w->controls.end()) return {};
  return gbkOf(it->second->GetLabel());
}

void WxHost::setCaption(const std::string& window, const std::string& control,
                        const std::string& text) {
  WindowState* w = find(window);
  if (!w) return;
  auto it = w->controls.find(control);
  if (it == w->controls.end()) return;
  it->second->SetLabel(wx(text));
  it->second->SetToolTip(wx(text));
  it->second->Refresh();
}

std::string WxHost::tagText(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return {};
  const Control* c = w->definition->find(control);
  return c ? c->tagText : std::string();
}

std::string WxHost::editText(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return {};
  auto* edit = dynamic_cast<wxTextCtrl*>(this->control(window, control));
  return edit ? gbkOf(edit->GetValue()) : std::string();
}

void WxHost::setEditText(const std::string& window, const std::string& control,
                         const std::string& text) {
  if (auto* edit = dynamic_cast<wxTextCtrl*>(this->control(window, control))) {
    edit->ChangeValue(wx(text));
  }
}

int WxHost::timerPeriod(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  return w ? w->periods[control] : 0;
}

void WxHost::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  WindowState* w = find(window);
  if (!w || !w->timers.count(control)) return;
  wxTimer* timer = w->timers[control];
  w->periods[control] = ms;
  if (ms <= 0) {
    timer->Stop();
  } else {
    timer->Start(ms);
  }
}

void WxHost::popupMenu(const std::string& window, const std::string& menuTitle) {
  WindowState* w = find(window);
  if (!w) return;
  wxMenu menu;
  bool inside = false;
  for (const Control& c : w->definition->controls) {
    if (c.kind != ControlKind::MenuItem) continue;
    if (c.menuLevel == 0) {
      inside = c.caption == menuTitle;
      continue;
    }
    if (!inside) continue;
    const int id = wxWindow::NewControlId();
    menu.Append(id, wx(c.caption));
    for (const EventBinding& b : c.events) {
      if (b.event == EventKind::Chosen) w->menuHandlers[id] = b.handler;
    }
  }
  if (menu.GetMenuItemCount() == 0) return;
  w->frame->PopupMenu(&menu);
}

void WxHost::clearRows(const std::string& window, const std::string&) {
  if (WindowState* w = find(window); w && w->list) w->list->DeleteAllItems();
}

int WxHost::appendRow(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  if (!w || !w->list) return -1;
  return static_cast<int>(w->list->InsertItem(w->list->GetItemCount(), wxString()));
}

int WxHost::rowCount(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  return w && w->list ? w->list->GetItemCount() : 0;
}

void WxHost::setCell(const std::string& window, const std::string&, int row, int column,
                     const std::string& text) {
  WindowState* w = find(window);
  if (!w || !w->list || row < 0 || row >= w->list->GetItemCount()) return;
  if (column < 0 || column >= w->list->GetColumnCount()) return;
  w->list->SetItem(row, column, wx(text));
}

std::string WxHost::cell(const std::string& window, const std::string&, int row, int column) {
  WindowState* w = find(window);
  if (!w || !w->list || row < 0 || row >= w->list->GetItemCount()) return {};
  if (column < 0 || column >= w->list->GetColumnCount()) return {};
  return gbkOf(w->list->GetItemText(row, column));
}

int WxHost::selectedRow(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  if (!w || !w->list) return -1;
  return static_cast<int>(w->list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED));
}

void WxHost::setPaneText(const std::string& window, const std::string&, int pane,
                         const std::string& text) {
  WindowState* w = find(window);
  if (w && w->bar && pane >= 0 && pane < w->bar->GetFieldsCount()) {
    w->bar->SetStatusText(wx(text), pane);
  }
}

std::string WxHost::paneText(const std::string& window, const std::string&, int pane) {
  WindowState* w = find(window);
  if (w && w->bar && pane >= 0 && pane < w->bar->GetFieldsCount()) {
    return gbkOf(w->bar->GetStatusText(pane));
  }
  return {};
}

void WxHost::messageBox(const std::string& text) {
  wxWindow* owner = nullptr;
  if (WindowState* w = find(firstWindow_)) owner = w->frame;
  wxMessageBox(wx(text), wxMessageBoxCaptionStr, wxOK, owner);
}

void WxHost::setClipboardText(const std::string& text) {
  if (wxTheClipboard->Open()) {
    wxTheClipboard->SetData(new wxTextDataObject(wx(text)));
    wxTheClipboard->Flush(); // stays available after the program ends
    wxTheClipboard->Close();
  }
}

void WxHost::playSound(const Bytes& wave) {
  if (const MediaBackend* backend = media()) backend->playWave(wave);
}

std::string WxHost::chooseFolder(const std::string& title, bool, const std::string& startFolder) {
  wxWindow* owner = nullptr;
  if (WindowState* w = find(firstWindow_)) owner = w->frame;
  wxDirDialog dialog(owner, wx(title), wx(startFolder), wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return {};
  return gbkOf(dialog.GetPath());
}

DownloadEngine& WxHost::downloadEngine() {
  if (!engine_) engine_ = std::make_unique<PlatformDownloadEngine>();
  return *engine_;
}

MediaPlayer* WxHost::mediaPlayer(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return nullptr;
  auto it = w->players.find(control);
  return it == w->players.end() ? nullptr : it->second;
}

wxFrame* WxHost::frame(const std::string& window) {
  WindowState* w = find(window);
  return w ? w->frame : nullptr;
}

wxWindow* WxHost::control(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return nullptr;
  auto it = w->controls.find(control);
  return it == w->controls.end() ? nullptr : it->second;
}

} // namespace tunova
