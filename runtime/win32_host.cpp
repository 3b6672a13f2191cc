#include "runtime/win32_host.h"

#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>
#include <windowsx.h>

#include <cstring>

#include "runtime/download_engine.h"
#include "runtime/sound.h"
#include "runtime/wmp_player.h"
#include "text/codepage.h"

namespace tunova {

namespace {

constexpr wchar_t kWindowClass[] = L"TunovaWindow";
constexpr UINT_PTR kSubclassId = 1;
constexpr COLORREF kLinkColour = RGB(20, 90, 180);

Win32Host* g_host = nullptr; // the one host of the process, for the window procedures

// The system's arrow (32512), hourglass (32514) and hand (32649) cursors.
HCURSOR systemCursor(int id) {
  return LoadCursorW(nullptr, MAKEINTRESOURCEW(id));
}

int modifiersNow() {
  return (GetKeyState(VK_SHIFT) < 0 ? 1 : 0) | (GetKeyState(VK_CONTROL) < 0 ? 2 : 0) |
         (GetKeyState(VK_MENU) < 0 ? 4 : 0);
}

std::wstring windowText(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

// A 32 x 32 icon of our own: a round blue badge with a white note.
HICON makeIcon() {
  BITMAPV5HEADER header{};
  header.bV5Size = sizeof header;
  header.bV5Width = 32;
  header.bV5Height = -32; // top-down
  header.bV5Planes = 1;
  header.bV5BitCount = 32;
  header.bV5Compression = BI_BITFIELDS;
  header.bV5RedMask = 0x00FF0000;
  header.bV5GreenMask = 0x0000FF00;
  header.bV5BlueMask = 0x000000FF;
  header.bV5AlphaMask = 0xFF000000;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  ReleaseDC(nullptr, screen);
  if (!colour || !bits) return nullptr;
  auto* pixels = static_cast<std::uint32_t*>(bits);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      const double dx = x - 15.5, dy = y - 15.5;
      const bool inside = dx * dx + dy * dy <= 15.5 * 15.5;
      const bool stem = x >= 17 && x <= 19 && y >= 7 && y <= 22;
      const bool flag = y >= 7 && y <= 10 && x >= 17 && x <= 24;
      const double hx = x - 14.0, hy = y - 22.0;
      const bool head = hx * hx / 20.0 + hy * hy / 10.0 <= 1.0;
      const std::uint32_t rgb = inside && (stem || flag || head) ? 0xFFFFFF : 0x1E6EC8;
      pixels[y * 32 + x] = inside ? 0xFF000000u | rgb : 0;
    }
  }
  HBITMAP mask = CreateBitmap(32, 32, 1, 1, nullptr);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmColor = colour;
  info.hbmMask = mask;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(colour);
  DeleteObject(mask);
  return icon;
}

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                             DWORD_PTR data);

int CALLBACK folderPickerStart(HWND hwnd, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

} // namespace

bool startWin32Host() {
  static const bool started = [] {
    INITCOMMONCONTROLSEX controls{sizeof controls,
                                  ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    OleInitialize(nullptr); // COM for the folder picker and the ActiveX host
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = systemCursor(32512);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0;
  }();
  return started;
}

// A control's way back to its window and name, kept for the subclass procedure.
struct ControlRef {
  std::string window;
  std::string name;
  ControlKind kind;
};

struct Win32Host::WindowState {
  const WindowDefinition* definition = nullptr;
  EventSink* sink = nullptr;
  HWND hwnd = nullptr;
  HICON icon = nullptr;
  std::map<std::string, HWND> controls;
  std::map<std::string, UINT_PTR> timerIds;
  std::map<UINT_PTR, std::string> timerNames;
  std::map<std::string, int> periods;
  HWND list = nullptr;
  int columns = 0;
  HWND bar = nullptr;
  std::vector<std::string> paneTexts;
  std::set<HWND> links; // labels with a click binding
  std::map<UINT, HandlerId> menuHandlers;
  std::map<std::string, std::unique_ptr<WmpPlayer>> players;
  std::vector<std::unique_ptr<ControlRef>> refs;
};

namespace {

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* w = reinterpret_cast<Win32Host::WindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  if (!w || !g_host) return DefWindowProcW(hwnd, message, wParam, lParam);
  return g_host->handleMessage(*w, hwnd, message, wParam, lParam);
}

LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR data) {
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, controlProc, kSubclassId);
  auto* ref = reinterpret_cast<ControlRef*>(data);
  if (!ref || !g_host || message == WM_NCDESTROY)
    return DefSubclassProc(hwnd, message, wParam, lParam);
  HWND parent = GetParent(hwnd);
  auto* w = reinterpret_cast<Win32Host::WindowState*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
  if (!w) return DefSubclassProc(hwnd, message, wParam, lParam);
  return g_host->handleControlMessage(*w, ref->name, hwnd, message, wParam, lParam);
}

} // namespace

Win32Host::Win32Host() {
  g_host = this;
  startWin32Host();
  // The geometry was drawn for a small UI font: the system's Chinese UI face at 9 points.
  font_ = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                      DEFAULT_PITCH | FF_SWISS, L"Microsoft YaHei UI");
}

Win32Host::~Win32Host() {
  if (engine_) engine_->release();
  std::vector<std::string> left;
  for (const auto& [name, w] : windows_)
    left.push_back(name);
  for (const std::string& name : left)
    destroyWindow(name);
  if (font_) DeleteObject(font_);
  if (g_host == this) g_host = nullptr;
}

Win32Host::WindowState* Win32Host::find(const std::string& window) {
  auto it = windows_.find(window);
  return it == windows_.end() ? nullptr : it->second.get();
}

void Win32Host::raise(WindowState& w, const std::string& control, EventKind kind,
                      const EventArgs& args) {
  if (const EventBinding* b = w.definition->binding(control, kind)) {
    w.sink->handleEvent(b->handler, w.definition->name, control, args);
  }
}

bool Win32Host::loadWindow(const WindowDefinition& def, EventSink& sink) {
  if (!startWin32Host() || find(def.name)) return false;
  if (firstWindow_.empty()) firstWindow_ = def.name; // dialogs belong to the main window
  auto state = std::make_unique<WindowState>();
  WindowState& w = *state;
  w.definition = &def;
  w.sink = &sink;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  w.hwnd = CreateWindowExW(0, kWindowClass, wideOf(def.caption).c_str(), style, def.left, def.top,
                           def.width, def.height, nullptr, nullptr, GetModuleHandleW(nullptr), &w);
  if (!w.hwnd) return false;
  if (def.hasIcon && (w.icon = makeIcon())) {
    SendMessageW(w.hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(w.icon));
    SendMessageW(w.hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(w.icon));
  }
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  UINT_PTR nextId = 100;
  for (const Control& c : def.controls) {
    const DWORD visible = c.visible ? WS_VISIBLE : 0;
    const DWORD tab = c.tabStop ? WS_TABSTOP : 0;
    HWND made = nullptr;
    const auto child = [&](DWORD exStyle, const wchar_t* cls, const std::wstring& text,
                           DWORD extra) {
      return CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | visible | tab | extra, c.left,
                             c.top, c.width, c.height, w.hwnd, reinterpret_cast<HMENU>(nextId++),
                             instance, nullptr);
    };
    switch (c.kind) {
    case ControlKind::EditBox:
      made = child(WS_EX_CLIENTEDGE, L"EDIT", wideOf(c.caption), ES_AUTOHSCROLL);
      break;
    case ControlKind::Button:
      made = child(0, L"BUTTON", wideOf(c.caption), BS_PUSHBUTTON);
      break;
    case ControlKind::Label: {
      made = child(0, L"STATIC", wideOf(c.caption),
                   SS_LEFT | SS_NOTIFY | SS_NOPREFIX | SS_ENDELLIPSIS);
      for (const EventBinding& b : c.events) {
        if (b.event == EventKind::LeftUp || b.event == EventKind::LeftDown) w.links.insert(made);
      }
      break;
    }
    case ControlKind::ReportList: {
      made = child(WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                   LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS);
      if (!made) break;
      ListView_SetExtendedListViewStyle(made, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
      for (std::size_t i = 0; i < c.columns.size(); ++i) {
        const Column& col = c.columns[i];
        std::wstring title = wideOf(col.title);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.fmt = col.alignment == Alignment::Right    ? LVCFMT_RIGHT
                     : col.alignment == Alignment::Center ? LVCFMT_CENTER
                                                          : LVCFMT_LEFT;
        column.cx = col.width;
        column.pszText = title.data();
        SendMessageW(made, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&column));
      }
      w.list = made;
      w.columns = static_cast<int>(c.columns.size());
      break;
    }
    case ControlKind::StatusBar: {
      made = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | visible, 0, 0, 0, 0, w.hwnd,
                             reinterpret_cast<HMENU>(nextId++), instance, nullptr);
      if (!made) break;
      std::vector<int> edges;
      int right = 0;
      for (const Pane& p : c.panes)
        edges.push_back(right += p.width);
      SendMessageW(made, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
      w.bar = made;
      for (std::size_t i = 0; i < c.panes.size(); ++i) {
        w.paneTexts.push_back(c.panes[i].text);
        SendMessageW(made, SB_SETTEXTW, i,
                     reinterpret_cast<LPARAM>(wideOf(c.panes[i].text).c_str()));
      }
      break;
    }
    case ControlKind::Timer: {
      const UINT_PTR id = nextId++;
      w.timerIds[c.name] = id;
      w.timerNames[id] = c.name;
      w.periods[c.name] = c.timerPeriod;
      if (c.timerPeriod > 0) SetTimer(w.hwnd, id, static_cast<UINT>(c.timerPeriod), nullptr);
      break;
    }
    case ControlKind::MediaPlayer: {
      auto player = std::make_unique<WmpPlayer>(w.hwnd, c);
      made = player->window();
      w.players[c.name] = std::move(player);
      break;
    }
    case ControlKind::MenuItem:
      break;
    }
    if (!made) continue;
    if (font_) SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (c.name.empty()) continue;
    w.controls[c.name] = made;
    if (c.kind != ControlKind::MediaPlayer) {
      w.refs.push_back(std::make_unique<ControlRef>(ControlRef{def.name, c.name, c.kind}));
      SetWindowSubclass(made, controlProc, kSubclassId,
                        reinterpret_cast<DWORD_PTR>(w.refs.back().get()));
    }
  }
  if (w.bar) ShowWindow(w.bar, SW_SHOW);
  WindowState& placed = *state;
  windows_[def.name] = std::move(state);
  if (def.visible) {
    ShowWindow(placed.hwnd, SW_SHOWNORMAL);
    UpdateWindow(placed.hwnd);
  }
  raise(placed, "", EventKind::Created, {});
  return true;
}

LRESULT Win32Host::handleMessage(WindowState& w, HWND hwnd, UINT message, WPARAM wParam,
                                 LPARAM lParam) {
  const std::string windowName = w.definition->name;
  switch (message) {
  case WM_COMMAND: {
    if (HIWORD(wParam) == BN_CLICKED && lParam) {
      for (const auto& [name, control] : w.controls) {
        if (control == reinterpret_cast<HWND>(lParam)) {
          const Control* c = w.definition->find(name);
          if (c && c->kind == ControlKind::Button) raise(w, name, EventKind::Clicked, {});
          return 0;
        }
      }
    }
    break;
  }
  case WM_NOTIFY: {
    const auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (!w.list || header->hwndFrom != w.list) break;
    std::string listName;
    for (const auto& [name, control] : w.controls)
      if (control == w.list) listName = name;
    if (header->code == NM_RCLICK) {
      // The row under the pointer, found from where the click was; a click below the last row
      // selects nothing and opens no menu.
      const DWORD at = GetMessagePos();
      LVHITTESTINFO hit{};
      hit.pt = {GET_X_LPARAM(at), GET_Y_LPARAM(at)};
      ScreenToClient(w.list, &hit.pt);
      const int row = static_cast<int>(
          SendMessageW(w.list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
      if (row < 0 || !(hit.flags & LVHT_ONITEM)) return 0;
      ListView_SetItemState(w.list, -1, 0, LVIS_SELECTED);
      ListView_SetItemState(w.list, row, LVIS_SELECTED | LVIS_FOCUSED,
                            LVIS_SELECTED | LVIS_FOCUSED);
      SetFocus(w.list);
      raise(w, listName, EventKind::ItemRightClick, {});
      return 0;
    }
    if (header->code == NM_DBLCLK) {
      if (reinterpret_cast<NMITEMACTIVATE*>(lParam)->iItem >= 0)
        raise(w, listName, EventKind::DoubleClick, {});
      return 0;
    }
    break;
  }
  case WM_CONTEXTMENU:
    // The keyboard's menu key and Shift+F10 on the list open the menu for the selected row.
    if (w.list && reinterpret_cast<HWND>(wParam) == w.list && lParam == -1 &&
        ListView_GetSelectedCount(w.list) > 0) {
      for (const auto& [name, control] : w.controls)
        if (control == w.list) raise(w, name, EventKind::ItemRightClick, {});
      return 0;
    }
    break;
  case WM_TIMER: {
    auto it = w.timerNames.find(wParam);
    if (it != w.timerNames.end()) {
      const std::string name = it->second;
      raise(w, name, EventKind::Tick, {});
      return 0;
    }
    break;
  }
  case WM_CTLCOLORSTATIC: {
    const HWND control = reinterpret_cast<HWND>(lParam);
    if (w.links.count(control)) {
      SetTextColor(reinterpret_cast<HDC>(wParam), kLinkColour);
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    break;
  }
  case WM_SETCURSOR:
    if (holdingInput() && windowName == firstWindow_) {
      SetCursor(systemCursor(32514));
      return TRUE;
    }
    if (w.links.count(reinterpret_cast<HWND>(wParam))) {
      SetCursor(systemCursor(32649));
      return TRUE;
    }
    break;
  case WM_CLOSE:
    requestClose(windowName);
    return 0;
  case WM_DESTROY:
    return 0;
  default:
    break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT Win32Host::handleControlMessage(WindowState& w, const std::string& control, HWND hwnd,
                                        UINT message, WPARAM wParam, LPARAM lParam) {
  const Control* c = w.definition->find(control);
  const ControlKind kind = c ? c->kind : ControlKind::Label;
  EventArgs a;
  switch (message) {
  case WM_KEYDOWN:
    if (kind == ControlKind::EditBox) {
      a.keyCode = static_cast<int>(wParam);
      a.modifiers = modifiersNow();
      raise(w, control, EventKind::KeyDown, a);
      if (!IsWindow(hwnd)) return 0;
    }
    break;
  case WM_CHAR:
    // A single-line edit box beeps at Enter: the key has already been handled above.
    if (kind == ControlKind::EditBox && (wParam == '\r' || wParam == '\n')) return 0;
    break;
  case WM_LBUTTONDBLCLK:
    if (kind == ControlKind::EditBox) {
      a.x = GET_X_LPARAM(lParam);
      a.y = GET_Y_LPARAM(lParam);
      a.modifiers = modifiersNow();
      raise(w, control, EventKind::DoubleClick, a);
      return 0;
    }
    break;
  case WM_LBUTTONDOWN:
  case WM_LBUTTONUP:
    if (kind == ControlKind::Label) {
      a.x = GET_X_LPARAM(lParam);
      a.y = GET_Y_LPARAM(lParam);
      a.modifiers = modifiersNow();
      raise(w, control, message == WM_LBUTTONUP ? EventKind::LeftUp : EventKind::LeftDown, a);
      return 0;
    }
    break;
  default:
    break;
  }
  return DefSubclassProc(hwnd, message, wParam, lParam);
}

void Win32Host::requestClose(const std::string& windowName) {
  WindowState* w = find(windowName);
  if (!w) return;
  if (waiting()) {
    // A handler is waiting on the network with this window's state on its stack: the close
    // goes ahead once the wait is over (the main window's close ends that wait at once).
    closeWhenWaitEnds(windowName);
    return;
  }
  const EventBinding* query = w->definition->binding("", EventKind::CloseQuery);
  const bool mayClose = !query || w->sink->handleEvent(query->handler, windowName, "", {});
  if (!mayClose) return;
  w = find(windowName);
  if (!w) return; // a handler destroyed it
  raise(*w, "", EventKind::Destroying, {});
  destroyWindow(windowName);
}

bool Win32Host::isWindowLoaded(const std::string& window) {
  return find(window) != nullptr;
}

void Win32Host::showWindow(const std::string& window, bool visible) {
  if (WindowState* w = find(window)) {
    ShowWindow(w->hwnd, visible ? SW_SHOWNORMAL : SW_HIDE);
    if (visible) SetForegroundWindow(w->hwnd);
  }
}

bool Win32Host::isWindowVisible(const std::string& window) {
  WindowState* w = find(window);
  return w && IsWindowVisible(w->hwnd);
}

void Win32Host::destroyWindow(const std::string& window) {
  auto it = windows_.find(window);
  if (it == windows_.end()) return;
  std::unique_ptr<WindowState> w = std::move(it->second);
  windows_.erase(it);
  for (auto& [name, player] : w->players)
    player->stop();
  for (auto& [name, id] : w->timerIds)
    KillTimer(w->hwnd, id);
  DestroyWindow(w->hwnd); // no close query
  w->players.clear();
  if (w->icon) DestroyIcon(w->icon);
  if (windows_.empty()) PostQuitMessage(0);
}

// Tab and Shift+Tab move the focus between the controls that take it, as in a dialog.
bool Win32Host::moveFocus(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
  const HWND top = GetAncestor(msg.hwnd, GA_ROOT);
  for (const auto& [name, w] : windows_) {
    if (w->hwnd != top) continue;
    const HWND next = GetNextDlgTabItem(top, msg.hwnd, GetKeyState(VK_SHIFT) < 0);
    if (!next) return false;
    SetFocus(next);
    if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) {
      SendMessageW(next, EM_SETSEL, 0, -1); // an edit box entered by Tab has its text selected
    }
    return true;
  }
  return false;
}

void Win32Host::runMessageLoop() {
  MSG msg;
  while (!windows_.empty() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (moveFocus(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  runExitRoutines();
}

void Win32Host::waitForPendingSounds() {
  waitForSounds(2000);
}

void Win32Host::serviceWindows() {
  MSG msg;
  bool quit = false;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit = true;
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (quit) PostQuitMessage(0);
}

void Win32Host::closeAfterWait(const std::string& window) {
  if (WindowState* w = find(window)) PostMessageW(w->hwnd, WM_CLOSE, 0, 0);
}

void Win32Host::holdInput() {
  if (WindowState* w = find(firstWindow_)) {
    focused_ = GetFocus();
    for (const auto& [name, control] : w->controls)
      EnableWindow(control, FALSE);
    SetFocus(w->hwnd);
  }
  SetCursor(systemCursor(32514));
}

void Win32Host::releaseInput() {
  if (WindowState* w = find(firstWindow_)) {
    for (const auto& [name, control] : w->controls)
      EnableWindow(control, TRUE);
    if (focused_ && IsWindow(focused_)) SetFocus(focused_);
  }
  focused_ = nullptr;
  SetCursor(systemCursor(32512));
}

std::string Win32Host::caption(const std::string& window, const std::string& control) {
  HWND h = controlHandle(window, control);
  return h ? gbkOf(windowText(h)) : std::string();
}

void Win32Host::setCaption(const std::string& window, const std::string& control,
                           const std::string& text) {
  if (HWND h = controlHandle(window, control)) SetWindowTextW(h, wideOf(text).c_str());
}

std::string Win32Host::tagText(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return {};
  const Control* c = w->definition->find(control);
  return c ? c->tagText : std::string();
}

std::string Win32Host::editText(const std::string& window, const std::string& control) {
  return caption(window, control);
}

void Win32Host::setEditText(const std::string& window, const std::string& control,
                            const std::string& text) {
  setCaption(window, control, text);
}

int Win32Host::timerPeriod(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  return w ? w->periods[control] : 0;
}

void Win32Host::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  WindowState* w = find(window);
  if (!w || !w->timerIds.count(control)) return;
  const UINT_PTR id = w->timerIds[control];
  w->periods[control] = ms;
  if (ms <= 0) {
    KillTimer(w->hwnd, id);
  } else {
    SetTimer(w->hwnd, id, static_cast<UINT>(ms), nullptr);
  }
}

void Win32Host::popupMenu(const std::string& window, const std::string& menuTitle) {
  WindowState* w = find(window);
  if (!w) return;
  HMENU menu = CreatePopupMenu();
  if (!menu) return;
  std::map<UINT, HandlerId> handlers;
  UINT id = 1;
  bool inside = false;
  for (const Control& c : w->definition->controls) {
    if (c.kind != ControlKind::MenuItem) continue;
    if (c.menuLevel == 0) {
      inside = c.caption == menuTitle;
      continue;
    }
    if (!inside) continue;
    AppendMenuW(menu, MF_STRING, id, wideOf(c.caption).c_str());
    for (const EventBinding& b : c.events) {
      if (b.event == EventKind::Chosen) handlers[id] = b.handler;
    }
    ++id;
  }
  POINT at{};
  GetCursorPos(&at);
  const HWND owner = w->hwnd;
  SetForegroundWindow(owner);
  const UINT chosen =
      GetMenuItemCount(menu) > 0
          ? static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN,
                                             at.x, at.y, 0, owner, nullptr))
          : 0;
  DestroyMenu(menu);
  PostMessageW(owner, WM_NULL, 0, 0);
  auto it = handlers.find(chosen);
  if (it != handlers.end() && find(window)) w->sink->handleEvent(it->second, window, "", {});
}

void Win32Host::clearRows(const std::string& window, const std::string&) {
  if (WindowState* w = find(window); w && w->list) ListView_DeleteAllItems(w->list);
}

int Win32Host::appendRow(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  if (!w || !w->list) return -1;
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = ListView_GetItemCount(w->list);
  item.pszText = const_cast<wchar_t*>(L"");
  return static_cast<int>(
      SendMessageW(w->list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

int Win32Host::rowCount(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  return w && w->list ? ListView_GetItemCount(w->list) : 0;
}

void Win32Host::setCell(const std::string& window, const std::string&, int row, int column,
                        const std::string& text) {
  WindowState* w = find(window);
  if (!w || !w->list || row < 0 || row >= ListView_GetItemCount(w->list)) return;
  if (column < 0 || column >= w->columns) return;
  std::wstring wide = wideOf(text);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = wide.data();
  SendMessageW(w->list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

std::string Win32Host::cell(const std::string& window, const std::string&, int row, int column) {
  WindowState* w = find(window);
  if (!w || !w->list || row < 0 || row >= ListView_GetItemCount(w->list)) return {};
  if (column < 0 || column >= w->columns) return {};
  // The control copies at most the buffer's size: grow until the text fits.
  for (std::size_t size = 256;; size *= 4) {
    std::wstring text(size, L'\0');
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(size);
    const auto n = static_cast<std::size_t>(
        SendMessageW(w->list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)));
    if (n + 1 < size || size >= (1u << 20)) {
      text.resize(n);
      return gbkOf(text);
    }
  }
}

int Win32Host::selectedRow(const std::string& window, const std::string&) {
  WindowState* w = find(window);
  if (!w || !w->list) return -1;
  return ListView_GetNextItem(w->list, -1, LVNI_SELECTED);
}

void Win32Host::setPaneText(const std::string& window, const std::string&, int pane,
                            const std::string& text) {
  WindowState* w = find(window);
  if (!w || !w->bar || pane < 0 || pane >= static_cast<int>(w->paneTexts.size())) return;
  w->paneTexts[static_cast<std::size_t>(pane)] = text;
  SendMessageW(w->bar, SB_SETTEXTW, pane, reinterpret_cast<LPARAM>(wideOf(text).c_str()));
}

std::string Win32Host::paneText(const std::string& window, const std::string&, int pane) {
  WindowState* w = find(window);
  if (!w || !w->bar || pane < 0 || pane >= static_cast<int>(w->paneTexts.size())) return {};
  return w->paneTexts[static_cast<std::size_t>(pane)];
}

void Win32Host::messageBox(const std::string& text) {
  HWND owner = nullptr;
  if (WindowState* w = find(firstWindow_)) owner = w->hwnd;
  MessageBoxW(owner, wideOf(text).c_str(), L"Tunova", MB_OK);
}

void Win32Host::setClipboardText(const std::string& text) {
  const std::wstring wide = wideOf(text);
  HWND owner = nullptr;
  if (WindowState* w = find(firstWindow_)) owner = w->hwnd;
  if (!OpenClipboard(owner)) return;
  EmptyClipboard();
  const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
  if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
    if (void* p = GlobalLock(memory)) {
      std::memcpy(p, wide.c_str(), bytes);
      GlobalUnlock(memory);
      if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    } else {
      GlobalFree(memory);
    }
  }
  CloseClipboard();
}

void Win32Host::playSound(const Bytes& wave) {
  playWaveAsync(wave);
}

std::string Win32Host::chooseFolder(const std::string& title, bool,
                                    const std::string& startFolder) {
  HWND owner = nullptr;
  if (WindowState* w = find(firstWindow_)) owner = w->hwnd;
  const std::wstring heading = wideOf(title);
  const std::wstring start = wideOf(startFolder);
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.lpszTitle = heading.c_str();
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = folderPickerStart;
  info.lParam = start.empty() ? 0 : reinterpret_cast<LPARAM>(start.c_str());
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  if (!chosen) return {};
  wchar_t path[MAX_PATH] = {};
  const bool ok = SHGetPathFromIDListW(chosen, path);
  CoTaskMemFree(chosen);
  return ok ? gbkOf(path) : std::string();
}

DownloadEngine& Win32Host::downloadEngine() {
  if (!engine_) engine_ = std::make_unique<PlatformDownloadEngine>();
  return *engine_;
}

MediaPlayer* Win32Host::mediaPlayer(const std::string& window, const std::string& control) {
  WmpPlayer* p = player(window, control);
  return p && p->created() ? p : nullptr;
}

HWND Win32Host::windowHandle(const std::string& window) {
  WindowState* w = find(window);
  return w ? w->hwnd : nullptr;
}

HWND Win32Host::controlHandle(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return nullptr;
  auto it = w->controls.find(control);
  return it == w->controls.end() ? nullptr : it->second;
}

WmpPlayer* Win32Host::player(const std::string& window, const std::string& control) {
  WindowState* w = find(window);
  if (!w) return nullptr;
  auto it = w->players.find(control);
  return it == w->players.end() ? nullptr : it->second.get();
}

} // namespace tunova
