// The Windows host under wine, in this process: windows built from their definitions with the
// platform's own controls, input through the system's input queue (SendInput) reaching the
// program, a query made of exactly three requests, the media player control given the address,
// and the window kept alive while a query waits.
#include "runtime/wide_text.h"
#include "runtime/window_host.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/program.h"
#include "app/windows.h"
#include "runtime/wmp_player.h"
#include "sandbox.h"
#include "test_server.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::Request;
using tunova::test::TestServer;

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

std::string pageOf(const std::string& target) {
  const std::size_t at = target.rfind("offset=");
  return at == std::string::npos ? "" : target.substr(at + 7);
}

// Two songs a page; the first one's address names its page.
std::string songsJson(const std::string& address) {
  return "{\"data\":[{\"title\":\"\xE4\xB8\xAD\xE6\x96\x87\",\"author\":\"a\",\"duration\":61,"
         "\"play_url\":{\"url_list\":[\"" +
         address + "\"]}},{\"title\":\"two\",\"author\":\"b\",\"duration\":5}]}";
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

class Win32HostTest : public ::testing::Test {
protected:
  void SetUp() override {
    server = std::make_unique<TestServer>([this](const Request& r, Connection& c) {
      if (r.target.rfind("/zamrilo/", 0) == 0) {
        if (pageDelayMs > 0) c.stall(pageDelayMs);
        c.reply(200, songsJson(server->url("/media/p" + pageOf(r.target) + ".mp3")));
      } else {
        c.reply(404, "");
      }
    });
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
  std::vector<Request> queries() {
    std::vector<Request> out;
    for (const Request& r : server->requests())
      if (r.target.rfind("/zamrilo/", 0) == 0) out.push_back(r);
    return out;
  }

  test::Sandbox sandbox{"tunova-win32"};
  SandboxedHost host;
  std::unique_ptr<TestServer> server;
  std::unique_ptr<Program> program;
  HWND main = nullptr;
  int pageDelayMs = 0;
};

} // namespace

TEST_F(Win32HostTest, WindowsAreBuiltFromTheirDefinitionsWithThePlatformsControls) {
  RECT outer{};
  GetWindowRect(main, &outer);
  const WindowDefinition& def = mainWindowDefinition();
  EXPECT_EQ(outer.left, def.left);
  EXPECT_EQ(outer.top, def.top);
  EXPECT_EQ(outer.right - outer.left, def.width);
  EXPECT_EQ(outer.bottom - outer.top, def.height);
  wchar_t title[128] = {};
  GetWindowTextW(main, title, 128);
  EXPECT_EQ(gbkOf(title), def.caption);
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
      EXPECT_EQ(host.paneText(n.mainWindow, c.name, 0), gbk("状态："));
      EXPECT_EQ(host.paneText(n.mainWindow, c.name, 1), gbk("下载速度："));
      continue; // the platform puts the bar along the bottom edge
    }
    const RECT r = clientRect(h);
    EXPECT_EQ(r.left, c.left) << toUtf8(c.name);
    EXPECT_EQ(r.top, c.top) << toUtf8(c.name);
    EXPECT_EQ(r.right - r.left, c.width) << toUtf8(c.name);
    EXPECT_EQ(r.bottom - r.top, c.height) << toUtf8(c.name);
    if (c.kind == ControlKind::Label || c.kind == ControlKind::Button) {
      EXPECT_EQ(host.caption(n.mainWindow, c.name), c.caption) << toUtf8(c.name);
    }
  }
  EXPECT_EQ(placed, 13); // every control but the timer and the menu
  HWND list = host.controlHandle(n.mainWindow, n.resultList);
  EXPECT_EQ(className(list), "SysListView32");
  EXPECT_EQ(GetWindowLongW(list, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
  HWND header = ListView_GetHeader(list);
  ASSERT_EQ(Header_GetItemCount(header), 5);
  wchar_t text[32] = {};
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH;
  column.pszText = text;
  column.cchTextMax = 32;
  ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, 4, reinterpret_cast<LPARAM>(&column)));
  EXPECT_EQ(gbkOf(text), gbk("下载地址"));
  EXPECT_EQ(column.cx, 300);
  EXPECT_EQ(className(host.controlHandle(n.mainWindow, n.searchBox)), "Edit");
  EXPECT_EQ(className(host.controlHandle(n.mainWindow, n.searchButton)), "Button");
}

TEST_F(Win32HostTest, TypingATermAndEnterMakesThreeRequestsAndFillsTheList) {
  HWND box = host.controlHandle(n.mainWindow, n.searchBox);
  clickAt(box, 20, 10);
  ASSERT_TRUE(pump(2000, [box] { return GetFocus() == box; })) << "the click did not reach the box";
  sendKeys(L"\u6708\u5149\r"); // 月光, Enter
  ASSERT_TRUE(pump(10000, [this] { return host.rowCount(n.mainWindow, n.resultList) == 6; }));
  const auto reqs = queries();
  ASSERT_EQ(reqs.size(), 3u);
  for (int page = 0; page < 3; ++page) {
    EXPECT_NE(reqs[page].target.find("query=%E6%9C%88%E5%85%89&"), std::string::npos);
    EXPECT_EQ(pageOf(reqs[page].target), std::to_string(page * 20));
  }
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), gbk("月光"));
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 0), "3");
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 1), gbk("中文"));
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 3), "01:01");
  EXPECT_EQ(host.cell(n.mainWindow, n.resultList, 2, 4), server->url("/media/p20.mp3"));
  EXPECT_EQ(host.paneText(n.mainWindow, n.statusBar, 0), gbk("状态：搜索完成"));
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
  EXPECT_EQ(player->url(), server->url("/media/p20.mp3"));
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
