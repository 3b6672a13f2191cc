// The Windows host under wine, in this process: windows built from their definitions with the
// platform's own controls, input through the system's input queue (SendInput) reaching the
// program, a query made of exactly three requests, the media player control given the address,
// and the window kept alive while a query waits.
#include "runtime/wide_text.h"
#include "runtime/window_host.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/program.h"
#include "app/windows.h"
#include "host_scenarios.h"
#include "runtime/wmp_player.h"
#include "sandbox.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::Request;

namespace {

const Names& n = names();

// Dispatches the thread's messages until `done` holds or `ms` have passed.
bool pump(
    int ms, const std::function<bool()>& done = [] { return false; }) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// The host with its program folder in a sandbox.
class SandboxedHost : public Win32Host {
public:
  std::string folder;
  std::string runFolder() override { return folder; }
};

RECT clientRect(HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string className(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

void sendKeys(const std::wstring& text) {
  std::vector<INPUT> inputs;
  for (wchar_t c : text) {
    INPUT down{};
    down.type = INPUT_KEYBOARD;
    if (c == L'\r') {
      down.ki.wVk = VK_RETURN;
    } else {
      down.ki.wScan = c;
      down.ki.dwFlags = KEYEVENTF_UNICODE;
    }
    INPUT up = down;
    up.ki.dwFlags |= KEYEVENTF_KEYUP;
    inputs.push_back(down);
    inputs.push_back(up);
  }
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void clickAt(HWND control, int x, int y) {
  POINT p{x, y};
  ClientToScreen(control, &p);
  SetCursorPos(p.x, p.y);
  INPUT clicks[2] = {};
  clicks[0].type = clicks[1].type = INPUT_MOUSE;
  clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, clicks, sizeof(INPUT));
}

// The shared scenarios on Win32, with input through the system's input queue.
class Win32Driver : public test::HostDriver {
public:
  explicit Win32Driver(Win32Host& host) : host_(host) {}
  Host& host() override { return host_; }
  bool pump(int ms, const std::function<bool()>& done) override { return ::pump(ms, done); }
  void click(const std::string& control) override {
    HWND h = host_.controlHandle(n.mainWindow, control);
    const RECT r = clientRect(h);
    clickAt(h, (r.right - r.left) / 2, (r.bottom - r.top) / 2);
    // An edit box clicked takes the focus, which what is typed next needs.
    if (className(h) == "Edit") ::pump(2000, [h] { return GetFocus() == h; });
    ::pump(50);
  }
  void type(const std::string& utf8) override { sendKeys(wideOf(fromUtf8(utf8))); }
  void pressEnter() override { sendKeys(L"\r"); }
  void pressAlt(char key) override {
    INPUT keys[4] = {};
    for (INPUT& k : keys)
      k.type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[3].ki.wVk = VK_MENU;
    keys[1].ki.wVk = keys[2].ki.wVk = static_cast<WORD>(key);
    keys[2].ki.dwFlags = keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(4, keys, sizeof(INPUT));
  }
  bool placement(const std::string& control, int& x, int& y, int& width, int& height) override {
    HWND h = host_.controlHandle(n.mainWindow, control);
    if (!h) return false;
    const RECT r = clientRect(h);
    x = r.left;
    y = r.top;
    width = r.right - r.left;
    height = r.bottom - r.top;
    return true;
  }
  std::string mainTitle() override {
    wchar_t title[128] = {};
    GetWindowTextW(host_.windowHandle(n.mainWindow), title, 128);
    return gbkOf(title);
  }
  HWND list() { return host_.controlHandle(n.mainWindow, n.resultList); }
  int columnCount() override { return Header_GetItemCount(ListView_GetHeader(list())); }
  int columnWidth(int column) override { return ListView_GetColumnWidth(list(), column); }

private:
  Win32Host& host_;
};

class Win32HostTest : public ::testing::Test {
protected:
  void SetUp() override {
    server = std::make_unique<test::CatalogueStandIn>(pageDelayMs);
    test::setEnv("TUNOVA_CATALOGUE_HOST", "127.0.0.1:" + std::to_string(server->port()));
    host.folder = sandbox.path().string();
    program = std::make_unique<Program>(host);
    ASSERT_TRUE(program->start());
    main = host.windowHandle(n.mainWindow);
    ASSERT_NE(main, nullptr);
    SetForegroundWindow(main);
    pump(300, [this] { return GetForegroundWindow() == main; });
  }
  void TearDown() override {
    for (const std::string& w : {n.playerWindow, n.mainWindow})
      host.destroyWindow(w);
    pump(50);
    host.runExitRoutines();
    test::unsetEnv("TUNOVA_CATALOGUE_HOST");
  }
  std::vector<Request> queries() { return server->queries(); }

  test::Sandbox sandbox{"tunova-win32"};
  SandboxedHost host;
  Win32Driver driver{host};
  std::atomic<int> pageDelayMs{0};
  std::unique_ptr<test::CatalogueStandIn> server;
  std::unique_ptr<Program> program;
  HWND main = nullptr;
};

} // namespace

TEST_F(Win32HostTest, WindowsAreBuiltFromTheirDefinitionsWithThePlatformsControls) {
  test::mainWindowIsBuiltFromItsDefinition(driver);
  RECT outer{};
  GetWindowRect(main, &outer);
  const WindowDefinition& def = mainWindowDefinition();
  EXPECT_EQ(outer.left, def.left);
  EXPECT_EQ(outer.top, def.top);
  EXPECT_EQ(outer.right - outer.left, def.width);
  EXPECT_EQ(outer.bottom - outer.top, def.height);
  int placed = 0;
  for (const Control& c : def.controls) {
    if (c.name.empty() || c.kind == ControlKind::Timer || c.kind == ControlKind::MenuItem) continue;
    HWND h = host.controlHandle(n.mainWindow, c.name);
    ASSERT_NE(h, nullptr) << toUtf8(c.name);
    EXPECT_TRUE(IsWindowVisible(h)) << toUtf8(c.name);
    ++placed;
    if (c.kind == ControlKind::StatusBar) {
      EXPECT_EQ(className(h), "msctls_statusbar32");
      EXPECT_EQ(SendMessageW(h, SB_GETPARTS, 0, 0), 4);
    }
  }
  EXPECT_EQ(placed, 13); // every control but the timer and the menu
  HWND list = host.controlHandle(n.mainWindow, n.resultList);
  EXPECT_EQ(className(list), "SysListView32");
  EXPECT_EQ(GetWindowLongW(list, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
  wchar_t text[32] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT;
  column.pszText = text;
  column.cchTextMax = 32;
  ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, 4, reinterpret_cast<LPARAM>(&column)));
  EXPECT_EQ(gbkOf(text), gbk("下载地址"));
  EXPECT_EQ(className(host.controlHandle(n.mainWindow, n.searchBox)), "Edit");
  EXPECT_EQ(className(host.controlHandle(n.mainWindow, n.searchButton)), "Button");
}

TEST_F(Win32HostTest, TypingATermAndEnterMakesThreeRequestsAndFillsTheList) {
  test::aTermAndEnterFillsTheList(driver, *server, "月光", "%E6%9C%88%E5%85%89");
}

TEST_F(Win32HostTest, AltAndADigitClicksATag) {
  test::anAccessKeyClicksItsTag(driver, *server);
}

TEST_F(Win32HostTest, ClickingATagQueriesItsCollection) {
  test::aTagClickQueriesItsCollection(driver, *server, 5); // 浪漫
}

// Shift+F10 with the pointer far from the list: the menu opens at the selected row.
TEST_F(Win32HostTest, AMenuAskedForWithAKeyOpensAtTheSelectedRow) {
  driver.click(n.tagLabels[0]); // 热门
  ASSERT_TRUE(pump(10000, [this] { return host.rowCount(n.mainWindow, n.resultList) == 6; }));
  HWND list = host.controlHandle(n.mainWindow, n.resultList);
  ListView_SetItemState(list, 4, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  SetFocus(list);
  RECT row{};
  ASSERT_TRUE(ListView_GetItemRect(list, 4, &row, LVIR_BOUNDS));
  MapWindowPoints(list, nullptr, reinterpret_cast<POINT*>(&row), 2);
  RECT area{};
  GetWindowRect(list, &area);
  RECT outer{};
  GetWindowRect(main, &outer);
  SetCursorPos(outer.right + 100, outer.bottom + 100);
  // The menu runs a loop of its own: it is looked at, then closed, from another thread.
  std::atomic<bool> seen{false};
  RECT menu{};
  std::thread watcher([&] {
    for (int i = 0; i < 300 && !seen; ++i) {
      HWND m = FindWindowW(L"#32768", nullptr);
      if (m && IsWindowVisible(m)) {
        GetWindowRect(m, &menu);
        seen = true;
      } else {
        Sleep(10);
      }
    }
    INPUT escape[2] = {};
    escape[0].type = escape[1].type = INPUT_KEYBOARD;
    escape[0].ki.wVk = escape[1].ki.wVk = VK_ESCAPE;
    escape[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, escape, sizeof(INPUT));
  });
  INPUT keys[4] = {};
  for (INPUT& k : keys)
    k.type = INPUT_KEYBOARD;
  keys[0].ki.wVk = keys[3].ki.wVk = VK_SHIFT;
  keys[1].ki.wVk = keys[2].ki.wVk = VK_F10;
  keys[2].ki.dwFlags = keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(4, keys, sizeof(INPUT));
  pump(3000, [&] { return seen.load(); });
  watcher.join();
  pump(200);
  ASSERT_TRUE(seen) << "no menu opened";
  EXPECT_GE(menu.left, area.left) << "the menu opened at " << menu.left << "," << menu.top;
  EXPECT_LE(menu.left, area.right);
  EXPECT_GE(menu.top, row.top - 20);
  EXPECT_LE(menu.top, row.bottom + 40);
}

TEST_F(Win32HostTest, ThePlayerControlIsCreatedAndGivenTheAddress) {
  clickAt(host.controlHandle(n.mainWindow, n.tagLabels[0]), 5, 5); // 热门
  ASSERT_TRUE(pump(10000, [this] { return host.rowCount(n.mainWindow, n.resultList) == 6; }));
  HWND list = host.controlHandle(n.mainWindow, n.resultList);
  ListView_SetItemState(list, 2, LVIS_SELECTED, LVIS_SELECTED);
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  ASSERT_TRUE(host.isWindowLoaded(n.playerWindow));
  WmpPlayer* player = host.player(n.playerWindow, n.player);
  ASSERT_NE(player, nullptr);
  ASSERT_TRUE(player->created()) << "the Windows Media Player control was not created";
  EXPECT_EQ(className(player->window()), "AtlAxWin");
  EXPECT_EQ(player->url(), server->url("/media/p1.mp3"));
  // The control takes its place in the Tab order, as its definition says.
  EXPECT_TRUE(GetWindowLongW(player->window(), GWL_STYLE) & WS_TABSTOP);
  // Played again while the player is open behind the main window: it comes to the front.
  HWND playerWindow = host.windowHandle(n.playerWindow);
  SetForegroundWindow(main);
  SetWindowPos(main, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  ASSERT_TRUE(pump(2000, [this] { return GetForegroundWindow() == main; }));
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  EXPECT_TRUE(pump(2000, [playerWindow] { return GetForegroundWindow() == playerWindow; }));
  HWND above = playerWindow;
  while ((above = GetWindow(above, GW_HWNDPREV)) != nullptr)
    EXPECT_NE(above, main) << "the main window is still above the player";
}

TEST_F(Win32HostTest, AWaitingQueryKeepsTheWindowAliveAndACloseEndsIt) {
  pageDelayMs = 3000;
  // The main window is asked to close while the first page is still awaited.
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    PostMessageW(main, WM_CLOSE, 0, 0);
  });
  const auto t0 = std::chrono::steady_clock::now();
  program->handleEvent(HandlerId::onTagClicked, n.mainWindow, n.tagLabels[0], {});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  closer.join();
  EXPECT_LT(seconds, 2.0) << "the query did not end at the close";
  EXPECT_EQ(queries().size(), 1u);
  // The close goes ahead after the wait: the window is gone once its messages are handled.
  EXPECT_TRUE(pump(2000, [this] { return !host.isWindowLoaded(n.mainWindow); }));
}
