// The real wx runtime under a display (xvfb-run in the test command): windows built from their
// definitions, events from simulated input reaching the program, the popup, the player window
// and the clipboard.
#include "runtime/window_host.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/bmpbuttn.h>
#include <wx/clipbrd.h>
#include <wx/dataview.h>
#include <wx/evtloop.h>
#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "app/program.h"
#include "app/windows.h"
#include "host_scenarios.h"
#include "runtime/media_backend.h"
#include "runtime/player.h"
#include "sandbox.h"
#include "test_server.h"
#include "text/codepage.h"
#include "x_probe.h"

using namespace tunova;
using tunova::test::Connection;
using tunova::test::Request;
using tunova::test::TestServer;

namespace {

const Names& n = names();
wxEventLoopBase* g_loop = nullptr;

// Runs the toolkit's events until `done` holds or `ms` have passed.
bool pump(
    int ms, const std::function<bool()>& done = [] { return false; }) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    while (g_loop->Pending())
      g_loop->Dispatch();
    wxTheApp->ProcessPendingEvents();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// `seconds` of silence as a WAV file (8 kHz, 16-bit, mono).
std::string silentWave(int seconds) {
  const std::uint32_t data = static_cast<std::uint32_t>(seconds) * 8000 * 2;
  std::string w = "RIFF";
  const auto u32 = [&w](std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      w.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  const auto u16 = [&w](std::uint16_t v) {
    w.push_back(static_cast<char>(v & 0xFF));
    w.push_back(static_cast<char>(v >> 8));
  };
  u32(36 + data);
  w += "WAVEfmt ";
  u32(16);
  u16(1);    // PCM
  u16(1);    // mono
  u32(8000); // samples a second
  u32(16000);
  u16(2);
  u16(16);
  w += "data";
  u32(data);
  w.append(data, '\0');
  return w;
}

// The wx host, watched: what the main window showed each time it was kept alive during a wait.
class WatchedHost : public WxHost {
public:
  WatchedHost() : WxHost(&linkedMediaBackend()) {}
  bool keepAlive() override {
    const bool goOn = WxHost::keepAlive();
    if (!frame(names().mainWindow)) return goOn;
    panesWhileWaiting.insert(gbkOf(frame(names().mainWindow)->GetStatusBar()->GetStatusText(0)));
    busyWhileWaiting = busyWhileWaiting || wxIsBusy();
    return goOn;
  }
  std::set<std::string> panesWhileWaiting;
  bool busyWhileWaiting = false;
};

class WxDriver;

class WxHostTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    static bool started = startToolkit(0, nullptr);
    ASSERT_TRUE(started) << "these tests need a display (run them under xvfb-run)";
    static wxEventLoop loop;
    static wxEventLoopActivator active(&loop);
    g_loop = &loop;
  }
  void SetUp() override {
    server = std::make_unique<test::CatalogueStandIn>(
        pageDelayMs, [this](const Request& r, Connection& c) {
          if (r.target == "/media/3s.wav") {
            c.reply(200, silentWave(3), "Content-Type: audio/x-wav\r\n");
          } else if (holdMedia) {
            // A song still under way: its first bytes, then the rest once the test lets it go.
            const std::string song = "ID3" + std::string(19997, '\0');
            c.send("HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nContent-Length: 20000\r\n\r\n" +
                   song.substr(0, 1000));
            while (holdMedia)
              c.stall(20);
            c.send(song.substr(1000));
          } else {
            c.reply(200, std::string(20000, '\0'), "Content-Type: audio/mpeg\r\n");
          }
        });
    setenv("TUNOVA_CATALOGUE_HOST", ("127.0.0.1:" + std::to_string(server->port())).c_str(), 1);
    program = std::make_unique<Program>(host);
    ASSERT_TRUE(program->start());
    frame = host.frame(n.mainWindow);
    ASSERT_NE(frame, nullptr);
    frame->Raise();
    pump(300, [this] { return frame->IsShownOnScreen(); });
  }
  void TearDown() override {
    for (const std::string& w : {n.playerWindow, n.mainWindow})
      host.destroyWindow(w);
    pump(100);
    wxTheApp->ProcessIdle(); // frames are deleted at idle time
    host.runExitRoutines();
    unsetenv("TUNOVA_CATALOGUE_HOST");
  }
  void click(wxWindow* w) {
    wxUIActionSimulator sim;
    const wxPoint centre = w->GetScreenPosition() + wxPoint(w->GetSize().x / 2, w->GetSize().y / 2);
    sim.MouseMove(centre);
    pump(50);
    sim.MouseClick();
    pump(50);
  }
  WxMediaPlayer* mediaPlayer() {
    return dynamic_cast<WxMediaPlayer*>(host.mediaPlayer(n.playerWindow, n.player));
  }
  wxDataViewListCtrl* list() {
    return static_cast<wxDataViewListCtrl*>(host.control(n.mainWindow, n.resultList));
  }
  void selectRow(int row) { list()->SelectRow(static_cast<unsigned>(row)); }
  WxDriver driver();

  WatchedHost host;
  std::atomic<int> pageDelayMs{0};    // how long the service thinks before each page
  std::atomic<bool> holdMedia{false}; // songs stop after their first bytes until this is cleared
  std::unique_ptr<test::CatalogueStandIn> server;
  std::unique_ptr<Program> program;
  wxFrame* frame = nullptr;
};

// The shared scenarios on wx, with the toolkit's own input simulator.
class WxDriver : public test::HostDriver {
public:
  WxDriver(WxHost& host, std::function<void(wxWindow*)> click)
      : host_(host), click_(std::move(click)) {}
  Host& host() override { return host_; }
  bool pump(int ms, const std::function<bool()>& done) override { return ::pump(ms, done); }
  void click(const std::string& control) override { click_(host_.control(n.mainWindow, control)); }
  void type(const std::string& utf8) override { wxUIActionSimulator().Text(utf8.c_str()); }
  void pressEnter() override { wxUIActionSimulator().Char(WXK_RETURN); }
  void pressAlt(char key) override { wxUIActionSimulator().Char(key, wxMOD_ALT); }
  bool placement(const std::string& control, int& x, int& y, int& width, int& height) override {
    wxWindow* w = host_.control(n.mainWindow, control);
    if (!w) return false;
    x = w->GetPosition().x;
    y = w->GetPosition().y;
    width = w->GetSize().x;
    height = w->GetSize().y;
    return true;
  }
  std::string mainTitle() override { return gbkOf(host_.frame(n.mainWindow)->GetTitle()); }
  wxDataViewListCtrl* list() {
    return static_cast<wxDataViewListCtrl*>(host_.control(n.mainWindow, n.resultList));
  }
  int columnCount() override { return list()->GetColumnCount(); }
  int columnWidth(int column) override {
    return list()->GetColumn(static_cast<unsigned>(column))->GetWidth();
  }

private:
  WxHost& host_;
  std::function<void(wxWindow*)> click_;
};

WxDriver WxHostTest::driver() {
  return WxDriver(host, [this](wxWindow* w) { click(w); });
}

} // namespace

TEST_F(WxHostTest, WindowsAreBuiltFromTheirDefinitions) {
  WxDriver driver = this->driver();
  test::mainWindowIsBuiltFromItsDefinition(driver);
  EXPECT_EQ(frame->GetSize(), wxSize(811, 498));
  // Every caption reads in full at its geometry.
  for (const Control& c : mainWindowDefinition().controls) {
    if (c.kind != ControlKind::Label || c.caption.empty()) continue;
    SCOPED_TRACE(toUtf8(c.name));
    wxWindow* w = host.control(n.mainWindow, c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_LE(w->GetTextExtent(w->GetLabel()).x, c.width);
    EXPECT_LE(w->GetTextExtent(w->GetLabel()).y, c.height + 2);
  }
}

TEST_F(WxHostTest, TypingATermAndEnterFillsTheList) {
  WxDriver driver = this->driver();
  test::aTermAndEnterFillsTheList(driver, *server, "abc", "%61%62%63");
  // A double-click empties the box.
  auto* edit = dynamic_cast<wxTextCtrl*>(host.control(n.mainWindow, n.searchBox));
  ASSERT_NE(edit, nullptr);
  wxUIActionSimulator().MouseDblClick();
  EXPECT_TRUE(pump(2000, [edit] { return edit->GetValue().empty(); }));
}

TEST_F(WxHostTest, ReleasingTheMouseOverATagQueriesItsCollection) {
  WxDriver driver = this->driver();
  test::aTagClickQueriesItsCollection(driver, *server, 5); // 浪漫
  EXPECT_NE(server->requests()[0].target.find("/collection/songs?id=856&"), std::string::npos);
}

TEST_F(WxHostTest, AltAndADigitClicksATag) {
  WxDriver driver = this->driver();
  test::anAccessKeyClicksItsTag(driver, *server);
}

TEST_F(WxHostTest, PlayerFetchesTheAddressAndCloseOnlyHides) {
  program->handleEvent(HandlerId::onTagClicked, n.mainWindow, n.tagLabels[0], {});
  ASSERT_EQ(list()->GetItemCount(), 6);
  selectRow(0);
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  ASSERT_TRUE(host.isWindowLoaded(n.playerWindow));
  wxFrame* playerFrame = host.frame(n.playerWindow);
  EXPECT_EQ(playerFrame->GetSize(), wxSize(380, 71));
  EXPECT_TRUE(pump(5000, [this] {
    for (const Request& r : server->requests()) {
      if (r.target == "/media/1.mp3") return true;
    }
    return false;
  })) << "the player never asked for the song";
  EXPECT_TRUE(mediaPlayer()->isPlaying());
  // The transport buttons carry drawn glyphs (not font symbols that may be missing), and the
  // read-out shows elapsed and total time.
  for (wxWindow* child : mediaPlayer()->GetChildren()) {
    auto* button = dynamic_cast<wxBitmapButton*>(child);
    if (!button) continue;
    const wxImage glyph = button->GetBitmapLabel().ConvertToImage();
    ASSERT_TRUE(glyph.IsOk());
    int opaque = 0;
    for (int y = 0; y < glyph.GetHeight(); ++y)
      for (int x = 0; x < glyph.GetWidth(); ++x)
        opaque += !glyph.HasAlpha() || glyph.GetAlpha(x, y) > 0;
    EXPECT_GT(opaque, glyph.GetWidth() * glyph.GetHeight() / 8);
    EXPECT_LE(glyph.GetHeight(), button->GetSize().y);
  }
  EXPECT_TRUE(mediaPlayer()->timeText().Matches("??:?? / ??:??"));
  playerFrame->Close(); // a close request: stopped and hidden, not destroyed
  pump(200);
  EXPECT_TRUE(host.isWindowLoaded(n.playerWindow));
  EXPECT_FALSE(host.isWindowVisible(n.playerWindow));
  EXPECT_FALSE(mediaPlayer()->isPlaying());
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  EXPECT_EQ(host.frame(n.playerWindow), playerFrame);
  EXPECT_TRUE(host.isWindowVisible(n.playerWindow));
  // Closing the main window takes the player with it.
  frame->Close();
  pump(200);
  EXPECT_FALSE(host.isWindowLoaded(n.playerWindow));
  EXPECT_FALSE(host.isWindowLoaded(n.mainWindow));
}

// Stop sets the read-out to 00:00 and the song's length, and it stays so while stopped.
TEST_F(WxHostTest, AfterStopTheTimeReadsZeroAndTheLength) {
  program->handleEvent(HandlerId::onTagClicked, n.mainWindow, n.tagLabels[0], {});
  selectRow(0);
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  ASSERT_NE(mediaPlayer(), nullptr);
  mediaPlayer()->setUrl(server->url("/media/3s.wav"));
  ASSERT_TRUE(pump(8000, [this] { return mediaPlayer()->timeText().EndsWith("/ 00:03"); }))
      << mediaPlayer()->timeText();
  std::vector<wxBitmapButton*> buttons;
  for (wxWindow* child : mediaPlayer()->GetChildren())
    if (auto* button = dynamic_cast<wxBitmapButton*>(child)) buttons.push_back(button);
  ASSERT_EQ(buttons.size(), 2u); // play or pause, stop
  host.frame(n.playerWindow)->Raise();
  pump(200);
  click(buttons[1]);
  pump(1500); // three ticks of the read-out
  EXPECT_EQ(mediaPlayer()->timeText(), "00:00 / 00:03");
  EXPECT_FALSE(mediaPlayer()->isPlaying());
}

TEST_F(WxHostTest, CopyLeavesExactlyTheAddressOnTheClipboard) {
  program->handleEvent(HandlerId::onTagClicked, n.mainWindow, n.tagLabels[0], {});
  ASSERT_EQ(list()->GetItemCount(), 6);
  selectRow(0);
  program->handleEvent(HandlerId::copySelectedAddress, n.mainWindow, "", {});
  pump(100);
  ASSERT_TRUE(wxTheClipboard->Open());
  wxTextDataObject data;
  EXPECT_TRUE(wxTheClipboard->GetData(data));
  wxTheClipboard->Close();
  EXPECT_EQ(data.GetText().utf8_string(), server->url("/media/1.mp3"));
}

namespace {

// Counts the menus the toolkit really opens on `frame`, and answers each one with `keys` once it
// is open (a popup runs a loop of its own, so the keys are sent from a timer).
class MenuWatcher {
public:
  MenuWatcher(wxFrame* frame, std::vector<int> keys) : frame_(frame), keys_(std::move(keys)) {
    frame_->Bind(wxEVT_MENU_OPEN, &MenuWatcher::onOpen, this);
    timer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
      if (whenOpen) whenOpen();
      wxUIActionSimulator sim;
      for (int k : keys_)
        sim.Char(k);
    });
  }
  ~MenuWatcher() { frame_->Unbind(wxEVT_MENU_OPEN, &MenuWatcher::onOpen, this); }
  int opened = 0;
  std::vector<std::string> titles; // of the entries of the last menu opened (GBK)
  std::function<void()> whenOpen;  // runs while the menu is open, before the keys

private:
  void onOpen(wxMenuEvent& e) {
    e.Skip();
    if (!e.IsPopup()) return;
    ++opened;
    titles.clear();
    if (wxMenu* menu = e.GetMenu()) {
      for (wxMenuItem* item : menu->GetMenuItems())
        titles.push_back(gbkOf(item->GetItemLabelText()));
    }
    timer_.StartOnce(250);
  }
  wxFrame* frame_;
  std::vector<int> keys_;
  wxTimer timer_;
};

std::string clipboardText() {
  std::string text;
  if (wxTheClipboard->Open()) {
    wxTextDataObject data;
    if (wxTheClipboard->GetData(data)) text = data.GetText().utf8_string();
    wxTheClipboard->Close();
  }
  return text;
}

} // namespace

TEST_F(WxHostTest, RightClickPopsUpExactlyThreeEntries) {
  MenuWatcher menus(frame, {WXK_ESCAPE});
  program->handleEvent(HandlerId::onResultListRightClick, n.mainWindow, n.resultList, {});
  EXPECT_EQ(menus.opened, 1);
  EXPECT_EQ(menus.titles,
            (std::vector<std::string>{gbk("播放"), gbk("下载"), gbk("复制下载地址")}));
}

class RealInputTest : public WxHostTest {
protected:
  // A real click on the 热门 label, then the list as the query left it: no row selected or
  // focused.
  void fillByTag() {
    click(host.control(n.mainWindow, n.tagLabels[0]));
    ASSERT_TRUE(pump(5000, [this] { return list()->GetItemCount() == 6; }));
    ASSERT_EQ(list()->GetSelectedItemsCount(), 0);
    wxTheClipboard->Open();
    wxTheClipboard->SetData(new wxTextDataObject("untouched"));
    wxTheClipboard->Close();
  }
  // Where `row` is in the list.
  wxRect rowRect(int row) { return list()->GetItemRect(list()->RowToItem(row)); }
  // The screen point in the middle of the first column of `row`.
  wxPoint rowPoint(int row) {
    const wxRect rect = rowRect(row);
    return list()->ClientToScreen(wxPoint(rect.x + 20, rect.y + rect.height / 2));
  }
  void rightClickAt(const wxPoint& screen) {
    wxUIActionSimulator sim;
    sim.MouseMove(screen);
    pump(50);
    sim.MouseClick(wxMOUSE_BTN_RIGHT);
    pump(400);
  }
  static wxPoint screenCentreOf(wxWindow* w) {
    return w->GetScreenPosition() + wxPoint(w->GetSize().x / 2, w->GetSize().y / 2);
  }
  static constexpr int kChooseCopy[] = {WXK_DOWN, WXK_DOWN, WXK_DOWN, WXK_RETURN};
};

TEST_F(RealInputTest, RightClickOnAFreshListActsOnTheClickedRow) {
  fillByTag();
  MenuWatcher menus(frame, {std::begin(kChooseCopy), std::end(kChooseCopy)});
  rightClickAt(rowPoint(2)); // row 3: the first song of the second page
  ASSERT_TRUE(pump(3000, [] { return clipboardText() != "untouched"; }));
  EXPECT_EQ(clipboardText(), server->url("/media/p1.mp3"));
  EXPECT_EQ(host.selectedRow(n.mainWindow, n.resultList), 2);
  EXPECT_EQ(list()->GetSelectedItemsCount(), 1);
  pump(500);
  EXPECT_EQ(menus.opened, 1) << "one right-click, one menu";
}

// A press on 热门 released over the list is no click on the tag: nothing is asked for. A press
// and release on the tag is.
TEST_F(RealInputTest, APressOnATagReleasedElsewhereQueriesNothing) {
  wxUIActionSimulator sim;
  sim.MouseMove(screenCentreOf(host.control(n.mainWindow, n.tagLabels[0])));
  pump(50);
  sim.MouseDown();
  pump(50);
  sim.MouseMove(screenCentreOf(list()));
  pump(50);
  sim.MouseUp();
  pump(500);
  EXPECT_TRUE(server->queries().empty()) << server->queries()[0].target;
  click(host.control(n.mainWindow, n.tagLabels[0]));
  EXPECT_TRUE(pump(5000, [this] { return server->queries().size() == 3; }));
}

// A list holding more rows than it shows has its scroll bar in view (not an overlay that
// appears only while scrolling): the strip along its right edge is not all one colour.
TEST_F(RealInputTest, AFullListShowsItsScrollBar) {
  for (int i = 0; i < 60; ++i) {
    const int row = host.appendRow(n.mainWindow, n.resultList);
    host.setCell(n.mainWindow, n.resultList, row, 1, "song " + std::to_string(i));
  }
  tunova::test::XProbe probe;
  ASSERT_TRUE(probe.ok());
  const wxRect area = list()->GetScreenRect();
  const int x = area.GetRight() - 12, y = area.y + 40, width = 10, height = area.height - 60;
  // Once the list has stopped changing on screen (an overlay would have faded by then).
  std::vector<std::uint32_t> before;
  auto lastChange = std::chrono::steady_clock::now();
  pump(4000, [&] {
    auto now = probe.pixels(x, y, width, height);
    if (now != before) {
      before = std::move(now);
      lastChange = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - lastChange > std::chrono::milliseconds(1500);
  });
  ASSERT_FALSE(before.empty());
  std::set<std::uint32_t> colours(before.begin(), before.end());
  EXPECT_GT(colours.size(), 1u) << "the right edge of the list is one colour: no scroll bar shown";
}

TEST_F(RealInputTest, RightClickBelowTheLastRowOpensNoMenu) {
  fillByTag();
  MenuWatcher menus(frame, {WXK_ESCAPE});
  const wxRect last = rowRect(5);
  ASSERT_FALSE(last.IsEmpty());
  const wxPoint below(last.x + 20, last.GetBottom() + 40);
  ASSERT_LT(below.y, list()->GetClientSize().y);
  rightClickAt(list()->ClientToScreen(below));
  pump(500);
  EXPECT_EQ(menus.opened, 0);
  EXPECT_EQ(list()->GetSelectedItemsCount(), 0);
  EXPECT_EQ(clipboardText(), "untouched");
}

TEST_F(RealInputTest, ShiftF10OpensTheSameMenuForTheSelectedRow) {
  fillByTag();
  wxUIActionSimulator sim;
  sim.MouseMove(rowPoint(4)); // row 5: the first song of the third page
  pump(50);
  sim.MouseClick();
  ASSERT_TRUE(pump(1000, [this] { return host.selectedRow(n.mainWindow, n.resultList) == 4; }));
  // The pointer goes away from the list: the menu still opens at the selected row.
  sim.MouseMove(frame->GetScreenRect().GetBottomRight() + wxPoint(100, 100));
  pump(50);
  const wxPoint row = rowPoint(4);
  MenuWatcher menus(frame, {std::begin(kChooseCopy), std::end(kChooseCopy)});
  int x = -1, y = -1, width = 0, height = 0;
  menus.whenOpen = [&] {
    tunova::test::XProbe probe;
    probe.geometry(probe.topPopup(), x, y, width, height);
  };
  sim.Char(WXK_F10, wxMOD_SHIFT);
  ASSERT_TRUE(pump(3000, [] { return clipboardText() != "untouched"; }));
  EXPECT_EQ(clipboardText(), server->url("/media/p2.mp3"));
  EXPECT_EQ(menus.opened, 1);
  const wxRect area = list()->GetScreenRect();
  EXPECT_GE(x, area.x) << "the menu opened at " << x << "," << y;
  EXPECT_LE(x, area.GetRight());
  EXPECT_GE(y, row.y - 20);
  EXPECT_LE(y, row.y + 40);
}

// The window and tunova-cli saving into one folder: while the terminal receives a song, 下载 of
// the same song in the window (real clicks) changes nothing on disk and says another program is
// downloading it; the terminal then ends with the whole song.
TEST_F(RealInputTest, ASongTheTerminalIsReceivingIsLeftToIt) {
  tunova::test::Sandbox save("tunova-shared");
  const std::string ini = host.runFolder() + "/bc.ini";
  ASSERT_FALSE(std::filesystem::exists(ini)) << "a settings file is already beside the program";
  ASSERT_TRUE(host.writeIni(ini, gbk("保存目录"), gbk("保存"), save.path().string() + "/"));
  struct RemoveIni {
    std::string path;
    ~RemoveIni() { std::filesystem::remove(path); }
  } removeIni{ini};
  holdMedia = true;
  const std::string cli = std::filesystem::path(TUNOVA_STUB).parent_path() / "tunova-cli";
  const std::string folder = save.path().string();
  char* argv[] = {const_cast<char*>(cli.c_str()),
                  const_cast<char*>("download"),
                  const_cast<char*>("1"),
                  const_cast<char*>("tag"),
                  const_cast<char*>("850"),
                  const_cast<char*>("--folder"),
                  const_cast<char*>(folder.c_str()),
                  nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), &quiet, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&quiet);
  const auto part = save.path() / "one_a.mp3.part";
  ASSERT_TRUE(tunova::test::waitFor([&] {
    std::error_code ec;
    return std::filesystem::file_size(part, ec) == 1000;
  })) << "the terminal never started the song";

  fillByTag();
  const int kChooseDownload[] = {WXK_DOWN, WXK_DOWN, WXK_RETURN};
  MenuWatcher menus(frame, {std::begin(kChooseDownload), std::end(kChooseDownload)});
  rightClickAt(rowPoint(0));
  const std::string notice = gbk("one - a  正在另一程序中下载");
  EXPECT_TRUE(pump(5000, [&] { return host.paneText(n.mainWindow, n.statusBar, 2) == notice; }))
      << toUtf8(host.paneText(n.mainWindow, n.statusBar, 2));
  EXPECT_EQ(menus.opened, 1);
  EXPECT_EQ(std::filesystem::file_size(part), 1000u) << "the window touched the other's file";
  EXPECT_FALSE(std::filesystem::exists(save.path() / "one_a.mp3"));

  holdMedia = false;
  int status = -1;
  ASSERT_TRUE(tunova::test::waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(save.path()))
    files.push_back(e.path().filename().string());
  EXPECT_EQ(files, std::vector<std::string>{"one_a.mp3"});
  EXPECT_EQ(std::filesystem::file_size(save.path() / "one_a.mp3"), 20000u);
}

namespace {

wxPoint screenCentre(wxWindow* w) {
  return w->GetScreenPosition() + wxPoint(w->GetSize().x / 2, w->GetSize().y / 2);
}

// A query against a service that thinks for a while before each page.
class SlowQueryTest : public RealInputTest {
protected:
  void SetUp() override {
    RealInputTest::SetUp();
    ASSERT_TRUE(probe.ok());
    // Found under a title no other window of this process has had, then given its own back.
    static int serial = 0;
    const wxString title = frame->GetTitle();
    const std::string unique = "probe " + std::to_string(getpid()) + "-" + std::to_string(++serial);
    frame->SetTitle(unique);
    pump(2000, [&] { return (window = probe.findWindow(unique)) != 0; });
    frame->SetTitle(title);
    ASSERT_NE(window, 0u);
  }
  // Runs the toolkit until the service has had `count` requests.
  bool pumpUntilRequests(std::size_t count, int ms) {
    return pump(ms, [this, count] { return server->requests().size() >= count; });
  }
  int catalogueRequests() {
    int count = 0;
    for (const Request& r : server->requests())
      count += r.target.rfind("/zamrilo/", 0) == 0;
    return count;
  }
  tunova::test::XProbe probe;
  unsigned long window = 0;
};

} // namespace

TEST_F(SlowQueryTest, TheWindowStaysAliveAndHoldsInputOffWhileItWaits) {
  pageDelayMs = 3000;
  const wxPoint otherTag = screenCentre(host.control(n.mainWindow, n.tagLabels[1]));
  const wxPoint box = screenCentre(host.control(n.mainWindow, n.searchBox));
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_TRUE(probe.geometry(window, x, y, width, height));

  // What a window manager and an impatient user do while the first page is awaited, from a
  // thread of their own (the window thread is inside the query).
  std::atomic<long> pingMs{-2};
  std::atomic<bool> coveredBlack{false}, repainted{false}, duringQuery{false};
  std::thread outside([&] {
    tunova::test::XProbe x11;
    if (!tunova::test::waitFor([&] { return server->requests().size() == 1; })) return;
    pingMs = x11.ping(window, 2000);
    // The window as it looks while waiting, once it has stopped changing.
    auto before = x11.pixels(x, y, width, height);
    auto lastChange = std::chrono::steady_clock::now();
    tunova::test::waitFor([&] {
      auto now = x11.pixels(x, y, width, height);
      if (now != before) {
        before = std::move(now);
        lastChange = std::chrono::steady_clock::now();
      }
      return std::chrono::steady_clock::now() - lastChange > std::chrono::milliseconds(300);
    });
    x11.cover(x, y, width, height);
    const auto black = x11.pixels(x, y, width, height);
    coveredBlack = !black.empty() && black.front() == 0 && black.back() == 0 && black != before;
    x11.uncover();
    repainted = tunova::test::waitFor([&] { return x11.pixels(x, y, width, height) == before; },
                                      std::chrono::milliseconds(1500));
    x11.click(otherTag.x, otherTag.y); // another mood tag: must not start a second query
    x11.click(box.x, box.y);
    x11.typeKey("x");
    x11.typeKey("Return");
    duringQuery = server->requests().size() == 1;
  });
  click(host.control(n.mainWindow, n.tagLabels[0])); // returns once the query has ended
  outside.join();
  pump(1000); // anything queued meanwhile would arrive now

  EXPECT_GE(pingMs, 0) << "no answer to the window manager's ping";
  EXPECT_LE(pingMs, 500);
  EXPECT_TRUE(coveredBlack);
  EXPECT_TRUE(repainted) << "the uncovered window was not painted again";
  EXPECT_TRUE(duringQuery) << "the probe's input came after the query";
  EXPECT_TRUE(host.busyWhileWaiting);
  EXPECT_EQ(host.panesWhileWaiting.count(gbk("状态：正在搜索…")), 1u);
  const auto reqs = server->requests();
  ASSERT_EQ(reqs.size(), 3u) << "input made during the query was acted on";
  for (const Request& r : reqs)
    EXPECT_NE(r.target.find("id=" + host.tagText(n.mainWindow, n.tagLabels[0]) + "&"),
              std::string::npos)
        << r.target;
  EXPECT_EQ(host.editText(n.mainWindow, n.searchBox), "");
  // The rows are those of the same query answered at once.
  ASSERT_EQ(list()->GetItemCount(), 6);
  for (int row = 0; row < 6; row += 2)
    EXPECT_EQ(
        host.cell(n.mainWindow, n.resultList, row, 4),
        server->url(row == 0 ? "/media/1.mp3" : "/media/p" + std::to_string(row / 2) + ".mp3"));
  EXPECT_EQ(host.paneText(n.mainWindow, n.statusBar, 0), gbk("状态：搜索完成"));
  EXPECT_TRUE(host.control(n.mainWindow, n.searchBox)->IsEnabled());
}

TEST_F(SlowQueryTest, ACloseDuringTheQueryEndsItAndClosesAsUsual) {
  // The player is open, as it would be after playing a song.
  program->handleEvent(HandlerId::onTagClicked, n.mainWindow, n.tagLabels[0], {});
  selectRow(0);
  program->handleEvent(HandlerId::playSelected, n.mainWindow, "", {});
  ASSERT_TRUE(host.isWindowLoaded(n.playerWindow));
  host.frame(n.playerWindow)->Move(frame->GetRect().GetBottomRight() + wxPoint(20, 20));
  pump(200);
  pageDelayMs = 20000;
  std::thread outside([&] {
    tunova::test::XProbe x11;
    if (tunova::test::waitFor([&] { return catalogueRequests() == 4; })) x11.askToClose(window);
  });
  const auto t0 = std::chrono::steady_clock::now();
  wxUIActionSimulator sim;
  sim.MouseMove(screenCentre(host.control(n.mainWindow, n.tagLabels[1])));
  pump(50);
  sim.MouseClick();
  const bool closed = pump(3000, [this] { return !host.isWindowLoaded(n.mainWindow); });
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  outside.join();
  ASSERT_TRUE(closed);
  EXPECT_LT(s, 2.0);
  EXPECT_FALSE(host.isWindowLoaded(n.playerWindow));
  EXPECT_EQ(catalogueRequests(), 4) << "the pages after the close were still asked for";
}

// The whole program, as a user starts it: closed by the window manager while a query waits.
TEST(ProgramProcess, EndsNormallyWhenClosedDuringAQuery) {
  TestServer slow([](const Request&, Connection& c) { c.stall(30000); });
  tunova::test::Sandbox home("tunova-close");
  std::vector<std::string> env = {"TUNOVA_CATALOGUE_HOST=127.0.0.1:" + std::to_string(slow.port()),
                                  "HOME=" + home.path().string()};
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "TUNOVA_", 7) != 0 && std::strncmp(*e, "HOME=", 5) != 0) env.push_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  char* argv[] = {const_cast<char*>(TUNOVA_STUB), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, TUNOVA_STUB, nullptr, nullptr, argv, envp.data()), 0);
  int status = -1;
  const auto ended = [&] { return waitpid(pid, &status, WNOHANG) == pid; };

  tunova::test::XProbe x11;
  const std::string title = toUtf8(mainWindowDefinition().caption);
  unsigned long window = 0;
  tunova::test::waitFor([&] { return (window = x11.findWindow(title, pid)) != 0 || ended(); });
  if (window == 0) kill(pid, SIGKILL);
  ASSERT_NE(window, 0u) << "the main window never appeared";
  // A click on the first mood tag, where the window's definition puts it.
  int x = 0, y = 0, width = 0, height = 0;
  ASSERT_TRUE(x11.geometry(window, x, y, width, height));
  const Control* tag = nullptr;
  for (const Control& c : mainWindowDefinition().controls)
    if (c.name == n.tagLabels[0]) tag = &c;
  ASSERT_NE(tag, nullptr);
  const bool asked = tunova::test::waitFor([&] {
    x11.click(x + tag->left + tag->width / 2, y + tag->top + tag->height / 2);
    return tunova::test::waitFor([&] { return !slow.requests().empty(); },
                                 std::chrono::milliseconds(500));
  });
  if (!asked) kill(pid, SIGKILL);
  ASSERT_TRUE(asked) << "the click started no query";

  const auto t0 = std::chrono::steady_clock::now();
  x11.askToClose(window);
  const bool exited = tunova::test::waitFor(ended, std::chrono::seconds(5));
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  ASSERT_TRUE(exited) << "still running 5 s after the close";
  EXPECT_LT(s, 2.0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slow.requests().size(), 1u);
}
