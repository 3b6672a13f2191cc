#include "runtime/window_host.h"

#include <dlfcn.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/clipbrd.h>
#include <wx/dataview.h>
#include <wx/dirdlg.h>
#include <wx/filefn.h>
#include <wx/frame.h>
#include <wx/generic/stattextg.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/notifmsg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "runtime/app_icon.h"
#include "runtime/download_engine.h"
#include "runtime/gtk_access.h"
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

// The program's icon as the toolkit's icon.
wxIcon appIcon() {
  wxImage img(kAppIconSize, kAppIconSize);
  img.InitAlpha();
  const auto pixels = appIconPixels();
  for (int y = 0; y < kAppIconSize; ++y) {
    for (int x = 0; x < kAppIconSize; ++x) {
      const std::uint32_t p = pixels[static_cast<std::size_t>(y * kAppIconSize + x)];
      img.SetRGB(x, y, (p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
      img.SetAlpha(x, y, p >> 24);
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

// Makes `row` the one selected and current row of a single-selection list.
void selectOnly(wxDataViewListCtrl* list, int row) {
  list->SetCurrentItem(list->RowToItem(row));
  list->SelectRow(static_cast<unsigned>(row));
}

// What the status bar says, pane by pane, as one text.
wxString statusText(wxStatusBar* bar) {
  wxString all;
  for (int i = 0; i < bar->GetFieldsCount(); ++i) {
    const wxString pane = bar->GetStatusText(i);
    if (pane.empty()) continue;
    if (!all.empty()) all += "  ";
    all += pane;
  }
  return all;
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
// and already loaded with the toolkit. The thread is joined when the toolkit stops, or at the
// latest when the program ends.
struct FontWarmUp {
  std::thread thread;
  void join() {
    if (thread.joinable()) thread.join();
  }
  ~FontWarmUp() { join(); }
};
FontWarmUp g_fontWarmUp;

void loadFontConfigurationInBackground() {
  void* fontconfig = dlopen("libfontconfig.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (!fontconfig || g_fontWarmUp.thread.joinable()) return;
  using Init = int (*)();
  auto init = reinterpret_cast<Init>(dlsym(fontconfig, "FcInit"));
  if (init) g_fontWarmUp.thread = std::thread([init] { init(); });
}

// GTK measures some widgets with its own default font before the toolkit applies ours: the edit
// box looks for a password glyph, and the list's header height is taken from a bold header
// button. Making our face GTK's default (and the header's weight regular, as the list draws its
// captions) means one face is opened at start-up instead of three.
void makeUiFontTheDefault() {
  GtkSettings* settings = gtk_settings_get_default();
  GdkScreen* screen = gdk_screen_get_default();
  if (!settings || !screen) return;
  const std::string name = std::string(kUiFace) + " " + std::to_string(kUiPoints);
  g_object_set(settings, "gtk-font-name", name.c_str(), nullptr);
  // Column titles in the list's own weight, and in the text colour: the default theme draws
  // them in a faint grey (about 3:1 against the background).
  GtkCssProvider* provider = gtk_css_provider_new();
  static const char css[] =
      "treeview.view header button { font-weight: normal; color: @theme_text_color; }";
  if (gtk_css_provider_load_from_data(provider, css, -1, nullptr)) {
    gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  }
  g_object_unref(provider);
}

} // namespace

std::string gbkOf(const wxString& text) {
  return fromUtf8(std::string(text.utf8_str()));
}

bool startToolkit(int argc, char** argv) {
  if (g_toolkitStarted) return true;
  if (!displayAvailable()) return false;
  // Classic scroll bars: GTK's overlay ones stay hidden until the list is scrolled, so a user
  // would not see that it holds more rows than it shows. (The user's own setting is kept.)
  setenv("GTK_OVERLAY_SCROLLING", "0", 0);
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
  g_fontWarmUp.join();
  if (!g_toolkitStarted) return;
  wxTheApp->OnExit();
  wxEntryCleanup();
  g_toolkitStarted = false;
}

struct WindowHost::Platform {
  const MediaBackend* media = nullptr;
  // The desktop notices still shown, whose action may yet be chosen (the latest few).
  std::deque<std::unique_ptr<wxNotificationMessage>> notices;
  std::string focusedControl; // the control that had the focus when input was held off
};

struct WindowHost::WindowState : HostCore::Window {
  wxFrame* frame = nullptr;
  wxPanel* panel = nullptr;
  std::map<std::string, wxWindow*> controls;
  std::map<std::string, wxTimer*> timers;
  wxDataViewListCtrl* list = nullptr;
  wxStatusBar* bar = nullptr;
  bool menuFromKeyboard = false; // the list's menu was asked for with a key, not the pointer
};

namespace {

WindowHost::WindowState& state(HostCore::Window& w) {
  return static_cast<WindowHost::WindowState&>(w);
}

// Where the pointer is and which modifiers are down, as an event's arguments.
EventArgs pointerArgs(const wxMouseEvent& e) {
  EventArgs a;
  a.x = e.GetX();
  a.y = e.GetY();
  a.modifiers = modifiersOf(e);
  return a;
}

// The player and the sound: the backend given, else the media module, loaded on first use.
const MediaBackend* mediaOf(WindowHost::Platform& p) {
  if (!p.media) p.media = loadedMediaBackend();
  return p.media;
}

// A made control takes its name and the definition's visibility.
void place(WindowHost::WindowState& w, const Control& c, wxWindow* made) {
  if (!made) return;
  if (!c.name.empty()) w.controls[c.name] = made;
  if (!c.visible) made->Hide();
}

// Whether a window manager runs on the display (one that names itself, as managers do).
bool windowManagerRunning() {
  void* gdk = dlopen("libgdk-3.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (!gdk) return false;
  using DefaultScreen = void* (*)();
  using ManagerName = const char* (*)(void*);
  using TypeOf = unsigned long (*)();
  using IsA = int (*)(void*, unsigned long);
  auto screen = reinterpret_cast<DefaultScreen>(dlsym(gdk, "gdk_screen_get_default"));
  auto name = reinterpret_cast<ManagerName>(dlsym(gdk, "gdk_x11_screen_get_window_manager_name"));
  auto x11Screen = reinterpret_cast<TypeOf>(dlsym(gdk, "gdk_x11_screen_get_type"));
  auto isA = reinterpret_cast<IsA>(dlsym(RTLD_DEFAULT, "g_type_check_instance_is_a"));
  if (!screen || !name || !x11Screen || !isA || !screen()) return false;
  if (!isA(screen(), x11Screen())) return false; // another display system: nothing to correct
  const char* manager = name(screen());
  return manager && std::string(manager) != "unknown";
}

} // namespace

WindowHost::WindowHost(const MediaBackend* media) : platform_(std::make_unique<Platform>()) {
  platform_->media = media;
}

WindowHost::~WindowHost() = default;

bool WindowHost::windowSystemReady() {
  return wxTheApp != nullptr;
}

std::unique_ptr<HostCore::Window> WindowHost::makeWindow(const WindowDefinition& def) {
  auto w = std::make_unique<WindowState>();
  w->frame = new wxFrame(nullptr, wxID_ANY, wx(def.caption), wxPoint(def.left, def.top),
                         wxSize(def.width, def.height),
                         wxDEFAULT_FRAME_STYLE & ~(wxRESIZE_BORDER | wxMAXIMIZE_BOX));
  w->frame->SetFont(uiFont());
  if (def.hasIcon) w->frame->SetIcon(appIcon());
  w->panel = new wxPanel(w->frame);
  w->panel->SetFont(uiFont());
  const std::string windowName = def.name;
  // Alt with a control's access key acts as a click on it, wherever the focus is.
  w->frame->Bind(wxEVT_CHAR_HOOK, [this, windowName](wxKeyEvent& e) {
    const int key = e.GetKeyCode();
    const bool letterOrDigit = (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z');
    if (e.GetModifiers() == wxMOD_ALT && letterOrDigit &&
        pressAccessKey(windowName, static_cast<char>(key))) {
      return;
    }
    e.Skip();
  });
  w->frame->Bind(wxEVT_CLOSE_WINDOW, [this, windowName](wxCloseEvent& e) {
    switch (requestClose(windowName, e.CanVeto())) {
    case Close::NotOurs:
      e.Skip();
      break;
    case Close::Stays:
      e.Veto();
      break;
    case Close::Closed:
      break;
    }
  });
  return w;
}

void WindowHost::makeEditBox(Window& window, const Control& c) {
  WindowState& w = state(window);
  auto* edit = new wxTextCtrl(w.panel, wxID_ANY, wx(c.caption), wxPoint(c.left, c.top),
                              wxSize(c.width, c.height), wxTE_PROCESS_ENTER);
  const std::string windowName = w.definition->name;
  edit->Bind(wxEVT_KEY_DOWN, [this, windowName, name = c.name](wxKeyEvent& e) {
    e.Skip(); // the key still reaches the edit box
    EventArgs a;
    a.keyCode = keyCodeOf(e);
    a.modifiers = modifiersOf(e);
    raise(windowName, name, EventKind::KeyDown, a);
  });
  edit->Bind(wxEVT_LEFT_DCLICK, [this, windowName, name = c.name](wxMouseEvent& e) {
    raise(windowName, name, EventKind::DoubleClick, pointerArgs(e));
  });
  place(w, c, edit);
}

void WindowHost::makeButton(Window& window, const Control& c) {
  WindowState& w = state(window);
  auto* button = new wxButton(w.panel, wxID_ANY, wx(c.caption), wxPoint(c.left, c.top),
                              wxSize(c.width, c.height));
  button->Bind(wxEVT_BUTTON,
               [this, windowName = w.definition->name, name = c.name](wxCommandEvent&) {
                 raise(windowName, name, EventKind::Clicked, {});
               });
  place(w, c, button);
}

void WindowHost::makeLabel(Window& window, const Control& c) {
  WindowState& w = state(window);
  auto* label =
      new wxGenericStaticText(w.panel, wxID_ANY, wx(c.caption), wxPoint(c.left, c.top),
                              wxSize(c.width, c.height), wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  bool clickable = false;
  for (const EventBinding& b : c.events) {
    const EventKind kind = b.event;
    if (kind != EventKind::LeftUp && kind != EventKind::LeftDown) continue;
    clickable = true;
    // The toolkit sends the release to the label that had the press, wherever the pointer is
    // then: a release away from the label is not a click on it.
    label->Bind(
        kind == EventKind::LeftUp ? wxEVT_LEFT_UP : wxEVT_LEFT_DOWN,
        [this, windowName = w.definition->name, name = c.name, kind, label](wxMouseEvent& e) {
          e.Skip();
          if (kind == EventKind::LeftUp &&
              !wxRect(label->GetClientSize()).Contains(e.GetPosition())) {
            return;
          }
          raise(windowName, name, kind, pointerArgs(e));
        });
  }
  if (clickable) {
    label->SetCursor(wxCursor(wxCURSOR_HAND));
    label->SetForegroundColour(wxColour(20, 90, 180));
  }
  describe(label, clickable ? ATK_ROLE_LINK : ATK_ROLE_LABEL, label->GetLabel());
  place(w, c, label);
}

void WindowHost::makeReportList(Window& window, const Control& c) {
  WindowState& w = state(window);
  // The toolkit's native list: a screen reader reads its rows and cells.
  auto* list = new wxDataViewListCtrl(w.panel, wxID_ANY, wxPoint(c.left, c.top),
                                      wxSize(c.width, c.height), wxDV_SINGLE);
  for (const Column& col : c.columns) {
    const wxAlignment align = col.alignment == Alignment::Right    ? wxALIGN_RIGHT
                              : col.alignment == Alignment::Center ? wxALIGN_CENTER
                                                                   : wxALIGN_LEFT;
    list->AppendTextColumn(wx(col.title), wxDATAVIEW_CELL_INERT, col.width, align,
                           wxDATAVIEW_COL_RESIZABLE);
  }
  const std::string windowName = w.definition->name;
  // The menu for a row: `fromKeyboard` when the menu key or Shift+F10 asked for it.
  auto openMenu = [this, windowName, name = c.name](bool fromKeyboard) {
    WindowState* ws = find<WindowState>(windowName);
    if (!ws) return;
    ws->menuFromKeyboard = fromKeyboard;
    raise(windowName, name, EventKind::ItemRightClick, {});
    if ((ws = find<WindowState>(windowName))) ws->menuFromKeyboard = false;
  };
  // A right-click acts on the row under the pointer and selects it first; one below the last row
  // selects nothing and opens no menu.
  list->Bind(wxEVT_DATAVIEW_ITEM_CONTEXT_MENU, [list, openMenu](wxDataViewEvent& e) {
    const int row = list->ItemToRow(e.GetItem());
    if (row < 0) return;
    selectOnly(list, row);
    openMenu(false);
  });
  // The menu key and Shift+F10 open the same menu for the selected row.
  list->Bind(wxEVT_CONTEXT_MENU, [list, openMenu](wxContextMenuEvent& e) {
    if (e.GetPosition() != wxDefaultPosition) return;
    if (list->GetSelectedRow() >= 0) openMenu(true);
  });
  list->Bind(wxEVT_DATAVIEW_ITEM_ACTIVATED, [this, windowName, name = c.name](wxDataViewEvent&) {
    raise(windowName, name, EventKind::DoubleClick, {});
  });
  w.list = list;
  place(w, c, list);
}

void WindowHost::makeStatusBar(Window& window, const Control& c) {
  WindowState& w = state(window);
  wxStatusBar* bar = w.frame->CreateStatusBar(static_cast<int>(c.panes.size()),
                                              wxSTB_DEFAULT_STYLE & ~wxSTB_SIZEGRIP);
  std::vector<int> widths;
  for (const Pane& p : c.panes)
    widths.push_back(p.width);
  bar->SetStatusWidths(static_cast<int>(widths.size()), widths.data());
  for (std::size_t i = 0; i < c.panes.size(); ++i)
    bar->SetStatusText(wx(c.panes[i].text), static_cast<int>(i));
  bar->SetFont(uiFont());
  describe(bar, ATK_ROLE_STATUSBAR, statusText(bar));
  w.bar = bar;
  place(w, c, bar);
}

void WindowHost::makeTimer(Window& window, const Control& c) {
  WindowState& w = state(window);
  auto* timer = new wxTimer(w.frame);
  w.frame->Bind(
      wxEVT_TIMER,
      [this, windowName = w.definition->name, name = c.name](wxTimerEvent&) {
        raise(windowName, name, EventKind::Tick, {});
      },
      timer->GetId());
  w.timers[c.name] = timer;
  if (c.timerPeriod > 0) timer->Start(c.timerPeriod);
}

void WindowHost::makePlayer(Window& window, const Control& c) {
  WindowState& w = state(window);
  // Without the media module the player's place stays empty and playback is dropped.
  const MediaBackend* backend = mediaOf(*platform_);
  if (!backend) return;
  const MadePlayer player = backend->makePlayer(w.panel, c);
  w.players[c.name] = player.player;
  place(w, c, player.window);
}

void WindowHost::lastWindowClosed() {} // the toolkit's loop ends with its last frame

void WindowHost::finishWindow(Window& w) {
  wxFrame* frame = state(w).frame;
  const WindowDefinition* def = w.definition;
  if (!windowManagerRunning()) {
    frame->Show(def->visible);
    return;
  }
  // A window manager may place a new window by its own rule: when its first report of where
  // the window is differs from the definition, the window is put back there, once.
  auto placed = std::make_shared<bool>(false);
  frame->Bind(wxEVT_MOVE, [frame, def, placed](wxMoveEvent& e) {
    e.Skip();
    if (*placed) return;
    *placed = true;
    if (frame->GetPosition() != wxPoint(def->left, def->top)) {
      frame->CallAfter([frame, def] { frame->Move(def->left, def->top); });
    }
  });
  // The manager's first guess of its frame's edges may differ from the edges it then draws (a
  // resize handle for a window that cannot be resized): wx keeps the client size and the outer
  // size drifts from the definition. It is set back, a few times at most.
  auto resizes = std::make_shared<int>(3);
  frame->Bind(wxEVT_SIZE, [frame, def, resizes](wxSizeEvent& e) {
    e.Skip();
    frame->CallAfter([frame, def, resizes] {
      const wxSize wanted(def->width, def->height);
      if (frame->GetSize() == wanted || *resizes <= 0) return;
      --*resizes;
      frame->SetSize(wanted);
    });
  });
  frame->Show(def->visible);
}

void WindowHost::tearDown(Window& window) {
  WindowState& w = state(window);
  for (auto& [name, timer] : w.timers) {
    timer->Stop();
    delete timer;
  }
  w.frame->Destroy(); // no close query
}

void WindowHost::runTimer(Window& w, const std::string& timer, int ms) {
  wxTimer* t = state(w).timers[timer];
  if (!t) return;
  if (ms <= 0) {
    t->Stop();
  } else {
    t->Start(ms);
  }
}

int WindowHost::chooseFromMenu(Window& w, const std::vector<std::string>& entries) {
  wxMenu menu;
  const int first = wxWindow::NewControlId(static_cast<int>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i)
    menu.Append(first + static_cast<int>(i), wx(entries[i]));
  // A menu asked for with a key opens at the selected row, not wherever the pointer is.
  WindowState& ws = state(w);
  wxPoint at = wxDefaultPosition;
  const int selected = ws.list ? ws.list->GetSelectedRow() : -1;
  if (ws.menuFromKeyboard && selected >= 0) {
    const wxRect row = ws.list->GetItemRect(ws.list->RowToItem(selected));
    at = ws.frame->ScreenToClient(ws.list->ClientToScreen(wxPoint(row.x + 20, row.GetBottom())));
  }
  const int chosen = ws.frame->GetPopupMenuSelectionFromUser(menu, at);
  wxWindow::UnreserveControlId(first, static_cast<int>(entries.size()));
  if (chosen == wxID_NONE || chosen < first) return -1;
  return chosen - first;
}

std::string WindowHost::controlText(Window& window, const std::string& control, bool edit) {
  WindowState& w = state(window);
  auto it = w.controls.find(control);
  if (it == w.controls.end()) return {};
  if (!edit) return gbkOf(it->second->GetLabel());
  auto* box = dynamic_cast<wxTextCtrl*>(it->second);
  return box ? gbkOf(box->GetValue()) : std::string();
}

void WindowHost::setControlText(Window& window, const std::string& control, bool edit,
                                const std::string& text) {
  WindowState& w = state(window);
  auto it = w.controls.find(control);
  if (it == w.controls.end()) return;
  if (edit) {
    if (auto* box = dynamic_cast<wxTextCtrl*>(it->second)) box->ChangeValue(wx(text));
    return;
  }
  it->second->SetLabel(wx(text));
  it->second->SetToolTip(wx(text));
  it->second->Refresh();
  if (dynamic_cast<wxGenericStaticText*>(it->second)) renameAccessible(it->second, wx(text));
}

void WindowHost::listClear(Window& w) {
  state(w).list->DeleteAllItems();
}

int WindowHost::listAppend(Window& w) {
  wxDataViewListCtrl* list = state(w).list;
  wxVector<wxVariant> cells(list->GetColumnCount(), wxVariant(wxString()));
  list->AppendItem(cells);
  return list->GetItemCount() - 1;
}

int WindowHost::listCount(Window& w) {
  return state(w).list->GetItemCount();
}

void WindowHost::listSet(Window& w, int row, int column, const std::string& text) {
  state(w).list->SetTextValue(wx(text), static_cast<unsigned>(row), static_cast<unsigned>(column));
}

std::string WindowHost::listGet(Window& w, int row, int column) {
  return gbkOf(
      state(w).list->GetTextValue(static_cast<unsigned>(row), static_cast<unsigned>(column)));
}

int WindowHost::listSelected(Window& w) {
  return state(w).list->GetSelectedRow();
}

void WindowHost::barSet(Window& w, int pane, const std::string& text) {
  wxStatusBar* bar = state(w).bar;
  bar->SetStatusText(wx(text), pane);
  renameAccessible(bar, statusText(bar));
}

void WindowHost::showWindow(const std::string& window, bool visible) {
  if (WindowState* w = find<WindowState>(window)) {
    w->frame->Show(visible);
    if (visible) w->frame->Raise();
  }
}

bool WindowHost::isWindowVisible(const std::string& window) {
  WindowState* w = find<WindowState>(window);
  return w && w->frame->IsShown();
}

void WindowHost::runMessageLoop() {
  if (wxTheApp && !windows().empty()) wxTheApp->OnRun();
  runExitRoutines();
}

void WindowHost::serviceWindows() {
  if (wxTheApp) wxTheApp->Yield(true);
}

void WindowHost::closeAfterWait(const std::string& window) {
  wxTheApp->CallAfter([this, window] {
    if (WindowState* w = find<WindowState>(window)) w->frame->Close();
  });
}

void WindowHost::holdInput() {
  if (WindowState* w = find<WindowState>(firstWindow_)) {
    platform_->focusedControl.clear();
    if (wxWindow* focus = wxWindow::FindFocus()) {
      for (const auto& [name, control] : w->controls) {
        if (control == focus || control->IsDescendant(focus)) platform_->focusedControl = name;
      }
    }
    w->panel->Disable();
  }
  wxBeginBusyCursor();
}

void WindowHost::releaseInput() {
  wxEndBusyCursor();
  if (WindowState* w = find<WindowState>(firstWindow_)) {
    w->panel->Enable();
    auto it = w->controls.find(platform_->focusedControl);
    if (it != w->controls.end()) it->second->SetFocus();
  }
}

void WindowHost::waitForPendingSounds() {
  // A sound was played only if the backend is there.
  if (platform_->media) platform_->media->waitForSounds(2000);
}

void WindowHost::messageBox(const std::string& text) {
  wxWindow* owner = nullptr;
  if (WindowState* w = find<WindowState>(firstWindow_)) owner = w->frame;
  wxMessageBox(wx(text), wxMessageBoxCaptionStr, wxOK, owner);
}

void WindowHost::setClipboardText(const std::string& text) {
  if (wxTheClipboard->Open()) {
    wxTheClipboard->SetData(new wxTextDataObject(wx(text)));
    wxTheClipboard->Flush(); // stays available after the program ends
    wxTheClipboard->Close();
  }
}

void WindowHost::playSound(const Bytes& wave) {
  if (const MediaBackend* backend = mediaOf(*platform_)) backend->playWave(wave);
}

void WindowHost::notifyDesktop(const std::string& title, const std::string& text,
                               const std::string& folder) {
  auto notice = std::make_unique<wxNotificationMessage>(wx(title), wx(text));
  notice->AddAction(wxID_OPEN, wxString::FromUTF8("打开目录"));
  notice->Bind(wxEVT_NOTIFICATION_MESSAGE_ACTION,
               [dir = wx(folder)](wxCommandEvent&) { wxLaunchDefaultApplication(dir); });
  wxLogNull quiet; // no notice service: nothing is shown and nothing said
  if (!notice->Show(wxNotificationMessage::Timeout_Auto)) return;
  auto& notices = platform_->notices;
  notices.push_back(std::move(notice));
  if (notices.size() > 8) notices.pop_front();
}

std::string WindowHost::chooseFolder(const std::string& title, bool,
                                     const std::string& startFolder) {
  wxWindow* owner = nullptr;
  if (WindowState* w = find<WindowState>(firstWindow_)) owner = w->frame;
  // Without a folder to start from (the first time) the picker would open on an empty list of
  // recent files: it opens on the user's music folder instead, or the home folder.
  wxString start = wx(startFolder);
  if (startFolder.empty() || !wxDirExists(start)) {
    // The desktop's music folder when one is set, else the usual ~/Music.
    const char* music = g_get_user_special_dir(G_USER_DIRECTORY_MUSIC);
    start = music ? wxString::FromUTF8(music) : wxGetHomeDir() + "/Music";
    if (!wxDirExists(start)) start = wxGetHomeDir();
  }
  wxDirDialog dialog(owner, wx(title), start, wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
  if (dialog.ShowModal() != wxID_OK) return {};
  return gbkOf(dialog.GetPath());
}

wxFrame* WindowHost::frame(const std::string& window) {
  WindowState* w = find<WindowState>(window);
  return w ? w->frame : nullptr;
}

wxWindow* WindowHost::control(const std::string& window, const std::string& control) {
  WindowState* w = find<WindowState>(window);
  if (!w) return nullptr;
  auto it = w->controls.find(control);
  return it == w->controls.end() ? nullptr : it->second;
}

} // namespace tunova
