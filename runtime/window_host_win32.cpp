#include "runtime/wide_text.h"
#include "runtime/window_host.h"

#include <commctrl.h>
#include <ole2.h>
#include <shlobj.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>

#include "runtime/app_icon.h"
#include "runtime/download_engine.h"
#include "runtime/sound.h"
#include "runtime/wmp_player.h"
#include "text/codepage.h"

namespace tunova {

namespace {

constexpr wchar_t kWindowClass[] = L"TunovaWindow";
constexpr UINT_PTR kSubclassId = 1;
constexpr COLORREF kLinkColour = RGB(20, 90, 180);

WindowHost* g_host = nullptr; // the one host of the process, for the window procedures

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

// The program's icon as the platform's icon.
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
  const auto badge = appIconPixels();
  std::copy(badge.begin(), badge.end(), static_cast<std::uint32_t*>(bits));
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

struct WindowHost::Platform {
  HFONT font = nullptr;
  HWND focused = nullptr; // the control that had the focus when input was held off
};

struct WindowHost::WindowState : HostCore::Window {
  HWND hwnd = nullptr;
  HICON icon = nullptr;
  UINT_PTR nextId = 100; // of the next child control or timer
  std::map<std::string, HWND> controls;
  std::map<std::string, UINT_PTR> timerIds;
  std::map<UINT_PTR, std::string> timerNames;
  HWND list = nullptr;
  bool menuFromKeyboard = false; // the list's menu was asked for with a key, not the pointer
  std::string listName;
  HWND bar = nullptr;
  std::set<HWND> links; // labels with a click binding
  std::map<std::string, std::unique_ptr<WmpPlayer>> wmpPlayers;
  std::vector<std::unique_ptr<ControlRef>> refs;
};

namespace {

LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* w = reinterpret_cast<WindowHost::WindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (message == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  // Messages that come while the window is being made reach the platform's own procedure.
  if (!w || !w->sink || !g_host) return DefWindowProcW(hwnd, message, wParam, lParam);
  return g_host->handleMessage(*w, hwnd, message, wParam, lParam);
}

LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR data) {
  if (message == WM_NCDESTROY) RemoveWindowSubclass(hwnd, controlProc, kSubclassId);
  auto* ref = reinterpret_cast<ControlRef*>(data);
  if (!ref || !g_host || message == WM_NCDESTROY)
    return DefSubclassProc(hwnd, message, wParam, lParam);
  HWND parent = GetParent(hwnd);
  auto* w = reinterpret_cast<WindowHost::WindowState*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
  if (!w || !w->sink) return DefSubclassProc(hwnd, message, wParam, lParam);
  return g_host->handleControlMessage(*w, ref->name, hwnd, message, wParam, lParam);
}

} // namespace

WindowHost::WindowHost(const MediaBackend*) : platform_(std::make_unique<Platform>()) {
  g_host = this;
  startWin32Host();
  // The geometry was drawn for a small UI font: the system's Chinese UI face at 9 points.
  platform_->font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                DEFAULT_PITCH | FF_SWISS, L"Microsoft YaHei UI");
}

WindowHost::~WindowHost() {
  std::vector<std::string> left;
  for (const auto& [name, w] : windows())
    left.push_back(name);
  for (const std::string& name : left)
    destroyWindow(name);
  if (platform_->font) DeleteObject(platform_->font);
  if (g_host == this) g_host = nullptr;
}

namespace {

WindowHost::WindowState& state(HostCore::Window& w) {
  return static_cast<WindowHost::WindowState&>(w);
}

HWND child(WindowHost::WindowState& w, const Control& c, DWORD exStyle, const wchar_t* cls,
           const std::wstring& text, DWORD style) {
  const DWORD visible = c.visible ? WS_VISIBLE : 0;
  const DWORD tab = c.tabStop ? WS_TABSTOP : 0;
  return CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | visible | tab | style, c.left,
                         c.top, c.width, c.height, w.hwnd, reinterpret_cast<HMENU>(w.nextId++),
                         GetModuleHandleW(nullptr), nullptr);
}

// A made control gets the UI font and its name; all but the player are subclassed, so their
// input reaches handleControlMessage.
void place(WindowHost::WindowState& w, const Control& c, HWND made, HFONT font) {
  if (!made) return;
  if (font) SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (c.name.empty()) return;
  w.controls[c.name] = made;
  if (c.kind == ControlKind::MediaPlayer) return;
  w.refs.push_back(std::make_unique<ControlRef>(ControlRef{w.definition->name, c.name, c.kind}));
  SetWindowSubclass(made, controlProc, kSubclassId,
                    reinterpret_cast<DWORD_PTR>(w.refs.back().get()));
}

} // namespace

bool WindowHost::windowSystemReady() {
  return startWin32Host();
}

std::unique_ptr<HostCore::Window> WindowHost::makeWindow(const WindowDefinition& def) {
  auto w = std::make_unique<WindowState>();
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  w->hwnd =
      CreateWindowExW(0, kWindowClass, wideOf(def.caption).c_str(), style, def.left, def.top,
                      def.width, def.height, nullptr, nullptr, GetModuleHandleW(nullptr), w.get());
  if (!w->hwnd) return nullptr;
  if (def.hasIcon && (w->icon = makeIcon())) {
    SendMessageW(w->hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(w->icon));
    SendMessageW(w->hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(w->icon));
  }
  return w;
}

void WindowHost::makeEditBox(Window& window, const Control& c) {
  WindowState& w = state(window);
  place(w, c, child(w, c, WS_EX_CLIENTEDGE, L"EDIT", wideOf(c.caption), ES_AUTOHSCROLL),
        platform_->font);
}

void WindowHost::makeButton(Window& window, const Control& c) {
  WindowState& w = state(window);
  place(w, c, child(w, c, 0, L"BUTTON", wideOf(c.caption), BS_PUSHBUTTON), platform_->font);
}

void WindowHost::makeLabel(Window& window, const Control& c) {
  WindowState& w = state(window);
  const HWND made = child(w, c, 0, L"STATIC", wideOf(c.caption),
                          SS_LEFT | SS_NOTIFY | SS_NOPREFIX | SS_ENDELLIPSIS);
  for (const EventBinding& b : c.events) {
    if (b.event == EventKind::LeftUp || b.event == EventKind::LeftDown) w.links.insert(made);
  }
  place(w, c, made, platform_->font);
}

void WindowHost::makeReportList(Window& window, const Control& c) {
  WindowState& w = state(window);
  const HWND made = child(w, c, WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
                          LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS);
  if (!made) return;
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
  w.listName = c.name;
  place(w, c, made, platform_->font);
}

void WindowHost::makeStatusBar(Window& window, const Control& c) {
  WindowState& w = state(window);
  const HWND made = CreateWindowExW(
      0, STATUSCLASSNAMEW, L"", WS_CHILD | (c.visible ? WS_VISIBLE : 0), 0, 0, 0, 0, w.hwnd,
      reinterpret_cast<HMENU>(w.nextId++), GetModuleHandleW(nullptr), nullptr);
  if (!made) return;
  std::vector<int> edges;
  int right = 0;
  for (const Pane& p : c.panes)
    edges.push_back(right += p.width);
  SendMessageW(made, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
  w.bar = made;
  for (std::size_t i = 0; i < c.panes.size(); ++i)
    SendMessageW(made, SB_SETTEXTW, i, reinterpret_cast<LPARAM>(wideOf(c.panes[i].text).c_str()));
  place(w, c, made, platform_->font);
}

void WindowHost::makeTimer(Window& window, const Control& c) {
  WindowState& w = state(window);
  const UINT_PTR id = w.nextId++;
  w.timerIds[c.name] = id;
  w.timerNames[id] = c.name;
  if (c.timerPeriod > 0) SetTimer(w.hwnd, id, static_cast<UINT>(c.timerPeriod), nullptr);
}

void WindowHost::makePlayer(Window& window, const Control& c) {
  WindowState& w = state(window);
  auto player = std::make_unique<WmpPlayer>(w.hwnd, c);
  if (player->created()) w.players[c.name] = player.get();
  place(w, c, player->window(), platform_->font);
  w.wmpPlayers[c.name] = std::move(player);
}

void WindowHost::finishWindow(Window& window) {
  WindowState& w = state(window);
  if (w.bar) ShowWindow(w.bar, SW_SHOW);
  if (w.definition->visible) {
    ShowWindow(w.hwnd, SW_SHOWNORMAL);
    UpdateWindow(w.hwnd);
  }
}

void WindowHost::tearDown(Window& window) {
  WindowState& w = state(window);
  for (auto& [name, id] : w.timerIds)
    KillTimer(w.hwnd, id);
  DestroyWindow(w.hwnd); // no close query
  w.wmpPlayers.clear();
  if (w.icon) DestroyIcon(w.icon);
}

void WindowHost::lastWindowClosed() {
  PostQuitMessage(0);
}

void WindowHost::runTimer(Window& window, const std::string& timer, int ms) {
  WindowState& w = state(window);
  auto it = w.timerIds.find(timer);
  if (it == w.timerIds.end()) return;
  if (ms <= 0) {
    KillTimer(w.hwnd, it->second);
  } else {
    SetTimer(w.hwnd, it->second, static_cast<UINT>(ms), nullptr);
  }
}

int WindowHost::chooseFromMenu(Window& window, const std::vector<std::string>& entries) {
  WindowState& w = state(window);
  HMENU menu = CreatePopupMenu();
  if (!menu) return -1;
  for (std::size_t i = 0; i < entries.size(); ++i)
    AppendMenuW(menu, MF_STRING, i + 1, wideOf(entries[i]).c_str());
  // A menu asked for with a key opens at the selected row, not wherever the pointer is.
  POINT at{};
  RECT row{};
  const int selected = w.list ? ListView_GetNextItem(w.list, -1, LVNI_SELECTED) : -1;
  if (w.menuFromKeyboard && selected >= 0 &&
      ListView_GetItemRect(w.list, selected, &row, LVIR_LABEL)) {
    at = {row.left + 20, row.bottom};
    ClientToScreen(w.list, &at);
  } else {
    GetCursorPos(&at);
  }
  const HWND owner = w.hwnd;
  SetForegroundWindow(owner);
  const UINT chosen = static_cast<UINT>(TrackPopupMenu(
      menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_LEFTALIGN, at.x, at.y, 0, owner, nullptr));
  DestroyMenu(menu);
  PostMessageW(owner, WM_NULL, 0, 0);
  return static_cast<int>(chosen) - 1;
}

std::string WindowHost::controlText(Window& window, const std::string& control, bool) {
  WindowState& w = state(window);
  auto it = w.controls.find(control);
  return it == w.controls.end() ? std::string() : gbkOf(windowText(it->second));
}

void WindowHost::setControlText(Window& window, const std::string& control, bool,
                                const std::string& text) {
  WindowState& w = state(window);
  auto it = w.controls.find(control);
  if (it != w.controls.end()) SetWindowTextW(it->second, wideOf(text).c_str());
}

namespace {

// A right-click acts on the row under the pointer, found from where the click was; a click below
// the last row selects nothing and opens no menu. A double-click on a row opens it.
LRESULT listNotice(WindowHost& host, WindowHost::WindowState& w, const NMHDR& header,
                   LPARAM lParam) {
  if (header.code == NM_RCLICK) {
    const DWORD at = GetMessagePos();
    LVHITTESTINFO hit{};
    hit.pt = {GET_X_LPARAM(at), GET_Y_LPARAM(at)};
    ScreenToClient(w.list, &hit.pt);
    const int row = static_cast<int>(
        SendMessageW(w.list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    if (row < 0 || !(hit.flags & LVHT_ONITEM)) return 0;
    ListView_SetItemState(w.list, -1, 0, LVIS_SELECTED);
    ListView_SetItemState(w.list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    SetFocus(w.list);
    host.raise(w, w.listName, EventKind::ItemRightClick, {});
    return 0;
  }
  if (header.code == NM_DBLCLK) {
    if (reinterpret_cast<NMITEMACTIVATE*>(lParam)->iItem >= 0)
      host.raise(w, w.listName, EventKind::DoubleClick, {});
    return 0;
  }
  return DefWindowProcW(GetParent(w.list), WM_NOTIFY, header.idFrom, lParam);
}

// Tab and Shift+Tab move the focus between the controls that take it, as in a dialog.
bool moveFocus(const WindowHost& host, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB) return false;
  const HWND top = GetAncestor(msg.hwnd, GA_ROOT);
  for (const auto& [name, window] : host.windows()) {
    const auto* w = static_cast<const WindowHost::WindowState*>(window.get());
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

// Alt with a letter or digit: the control with that access key acts as clicked.
bool accessKey(WindowHost& host, const std::string& window, UINT message, WPARAM key) {
  const bool letterOrDigit = (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z');
  return message == WM_SYSKEYDOWN && letterOrDigit &&
         host.pressAccessKey(window, static_cast<char>(key));
}

} // namespace

LRESULT WindowHost::handleMessage(WindowState& w, HWND hwnd, UINT message, WPARAM wParam,
                                  LPARAM lParam) {
  const std::string windowName = w.definition->name;
  if (accessKey(*this, windowName, message, wParam)) return 0;
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
    if (w.list && header->hwndFrom == w.list) return listNotice(*this, w, *header, lParam);
    break;
  }
  case WM_CONTEXTMENU:
    // The keyboard's menu key and Shift+F10 on the list open the menu for the selected row.
    if (w.list && reinterpret_cast<HWND>(wParam) == w.list && lParam == -1 &&
        ListView_GetSelectedCount(w.list) > 0) {
      w.menuFromKeyboard = true;
      raise(w, w.listName, EventKind::ItemRightClick, {});
      if (find<WindowState>(windowName) == &w) w.menuFromKeyboard = false;
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

LRESULT WindowHost::handleControlMessage(WindowState& w, const std::string& control, HWND hwnd,
                                         UINT message, WPARAM wParam, LPARAM lParam) {
  if (accessKey(*this, w.definition->name, message, wParam)) return 0;
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

void WindowHost::showWindow(const std::string& window, bool visible) {
  if (WindowState* w = find<WindowState>(window)) {
    ShowWindow(w->hwnd, visible ? SW_SHOWNORMAL : SW_HIDE);
    if (!visible) return;
    // A window shown again comes to the front, also when it was open behind another.
    SetWindowPos(w->hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(w->hwnd);
  }
}

bool WindowHost::isWindowVisible(const std::string& window) {
  WindowState* w = find<WindowState>(window);
  return w && IsWindowVisible(w->hwnd);
}

void WindowHost::runMessageLoop() {
  MSG msg;
  while (!windows().empty() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (moveFocus(*this, msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  runExitRoutines();
}

void WindowHost::waitForPendingSounds() {
  waitForSounds(2000);
}

void WindowHost::serviceWindows() {
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

void WindowHost::closeAfterWait(const std::string& window) {
  if (WindowState* w = find<WindowState>(window)) PostMessageW(w->hwnd, WM_CLOSE, 0, 0);
}

void WindowHost::holdInput() {
  if (WindowState* w = find<WindowState>(firstWindow_)) {
    platform_->focused = GetFocus();
    for (const auto& [name, control] : w->controls)
      EnableWindow(control, FALSE);
    SetFocus(w->hwnd);
  }
  SetCursor(systemCursor(32514));
}

void WindowHost::releaseInput() {
  if (WindowState* w = find<WindowState>(firstWindow_)) {
    for (const auto& [name, control] : w->controls)
      EnableWindow(control, TRUE);
    if (platform_->focused && IsWindow(platform_->focused)) SetFocus(platform_->focused);
  }
  platform_->focused = nullptr;
  SetCursor(systemCursor(32512));
}

void WindowHost::listClear(Window& w) {
  ListView_DeleteAllItems(state(w).list);
}

int WindowHost::listAppend(Window& window) {
  WindowState& w = state(window);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = ListView_GetItemCount(w.list);
  item.pszText = const_cast<wchar_t*>(L"");
  return static_cast<int>(
      SendMessageW(w.list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

int WindowHost::listCount(Window& w) {
  return ListView_GetItemCount(state(w).list);
}

void WindowHost::listSet(Window& w, int row, int column, const std::string& text) {
  std::wstring wide = wideOf(text);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = wide.data();
  SendMessageW(state(w).list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

std::string WindowHost::listGet(Window& w, int row, int column) {
  // The control copies at most the buffer's size: grow until the text fits.
  for (std::size_t size = 256;; size *= 4) {
    std::wstring text(size, L'\0');
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(size);
    const auto n = static_cast<std::size_t>(
        SendMessageW(state(w).list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)));
    if (n + 1 < size || size >= (1u << 20)) {
      text.resize(n);
      return gbkOf(text);
    }
  }
}

int WindowHost::listSelected(Window& w) {
  return ListView_GetNextItem(state(w).list, -1, LVNI_SELECTED);
}

void WindowHost::barSet(Window& w, int pane, const std::string& text) {
  SendMessageW(state(w).bar, SB_SETTEXTW, pane, reinterpret_cast<LPARAM>(wideOf(text).c_str()));
}

void WindowHost::messageBox(const std::string& text) {
  HWND owner = nullptr;
  if (WindowState* w = find<WindowState>(firstWindow_)) owner = w->hwnd;
  MessageBoxW(owner, wideOf(text).c_str(), L"Tunova", MB_OK);
}

void WindowHost::setClipboardText(const std::string& text) {
  const std::wstring wide = wideOf(text);
  HWND owner = nullptr;
  if (WindowState* w = find<WindowState>(firstWindow_)) owner = w->hwnd;
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

void WindowHost::playSound(const Bytes& wave) {
  playWaveAsync(wave);
}

std::string WindowHost::chooseFolder(const std::string& title, bool,
                                     const std::string& startFolder) {
  HWND owner = nullptr;
  if (WindowState* w = find<WindowState>(firstWindow_)) owner = w->hwnd;
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

HWND WindowHost::windowHandle(const std::string& window) {
  WindowState* w = find<WindowState>(window);
  return w ? w->hwnd : nullptr;
}

HWND WindowHost::controlHandle(const std::string& window, const std::string& control) {
  WindowState* w = find<WindowState>(window);
  if (!w) return nullptr;
  auto it = w->controls.find(control);
  return it == w->controls.end() ? nullptr : it->second;
}

WmpPlayer* WindowHost::player(const std::string& window, const std::string& control) {
  WindowState* w = find<WindowState>(window);
  if (!w) return nullptr;
  auto it = w->wmpPlayers.find(control);
  return it == w->wmpPlayers.end() ? nullptr : it->second.get();
}

} // namespace tunova
