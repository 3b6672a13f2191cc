// The download and playback handlers against the fake host and a scripted engine.
#include <gtest/gtest.h>

#include <fstream>

#include "app/program.h"
#include "fake_host.h"
#include "media/chime.h"
#include "media/download.h"
#include "media/playback.h"
#include "runtime/ini_file.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::FakeHost;

namespace {

const Names& n = names();

class HandlerTest : public ::testing::Test {
protected:
  void SetUp() override {
    program = std::make_unique<Program>(host);
    program->start();
    host.rows = {{"1", gbk("晴天"), gbk("小林"), "04:05", "http://h/1.mp3"},
                 {"2", "X", "Y", "00:10", "http://h/2.mp3"}};
  }
  void chooseFolder(const std::string& folder) {
    ASSERT_TRUE(writeIniValue(settingsFile(), gbk("保存目录"), gbk("保存"), folder));
  }
  std::string settingsFile() { return (host.folder / "bc.ini").string(); }
  void tick() { host.fire(n.mainWindow, n.timer, EventKind::Tick); }
  FakeHost host;
  std::unique_ptr<Program> program;
};

} // namespace

TEST_F(HandlerTest, WithoutSettingsTheDownloadIsRefused) {
  host.selected = 0;
  host.choose(gbk("下载"));
  EXPECT_EQ(host.messages, (std::vector<std::string>{gbk("请先设置保存目录")}));
  EXPECT_TRUE(host.fakeEngine()->tasks.empty());
  EXPECT_TRUE(host.timerHistory.empty());
  EXPECT_EQ(program->downloads().downloadTask.receiveBufferBytes, 4096);
  EXPECT_EQ(program->downloads().downloadTask.url, "http://h/1.mp3");
}

TEST_F(HandlerTest, TaskRecordAtStartUpAndAfterARequest) {
  const DownloadTask& t = program->downloads().downloadTask;
  EXPECT_EQ(t.receiveBufferBytes, 1);
  EXPECT_EQ(t.ftpUser, "anonymous");
  EXPECT_EQ(t.retries, 1);
  EXPECT_EQ(t.connectTimeoutMs, 20000);
  EXPECT_EQ(t.retryPauseMs, 1000);
  EXPECT_EQ(t.field12, 20480);
  EXPECT_EQ(t.extensions, ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm");
  chooseFolder("/D/Music/");
  host.selected = 1;
  host.choose(gbk("下载"));
  ASSERT_EQ(host.fakeEngine()->tasks.size(), 1u);
  const DownloadTask& sent = host.fakeEngine()->tasks[0];
  EXPECT_EQ(sent.path, "/D/Music/X_Y.mp3");
  EXPECT_EQ(sent.url, "http://h/2.mp3");
  EXPECT_EQ(sent.retries, 5);
  EXPECT_EQ(sent.receiveBufferBytes, 4096);
  EXPECT_EQ(host.timerHistory.back().second, 1000);
}

TEST_F(HandlerTest, RateTexts) {
  EXPECT_EQ(rateText(2048000), gbk("下载速度：2 MB"));
  EXPECT_EQ(rateText(512000), gbk("下载速度：0.5 MB"));
  EXPECT_EQ(rateText(5000), gbk("下载速度：0 MB"));
  EXPECT_EQ(rateText(0), gbk("下载速度：0 MB"));
  EXPECT_EQ(rateText(1536000), gbk("下载速度：1.5 MB"));
}

TEST_F(HandlerTest, OnlyACompletedTaskIsAnnouncedAsDoneAndNamesTheDownloadedSong) {
  chooseFolder("/D/");
  host.selected = 0;
  host.choose(gbk("下载"));
  auto* engine = host.fakeEngine();
  ASSERT_NE(engine, nullptr);
  // A stalled transfer: rate zero, still running: shown as 0 MB, not announced.
  engine->rate = 0;
  tick();
  EXPECT_EQ(host.panes[1], gbk("下载速度：0 MB"));
  EXPECT_EQ(host.panes[2], "");
  EXPECT_EQ(host.sounds, 0);
  EXPECT_TRUE(host.notices.empty());
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000);
  engine->rate = 2048000;
  tick();
  EXPECT_EQ(host.panes[1], gbk("下载速度：2 MB"));
  // The user selects another row; the notice still names the song downloaded.
  host.selected = 1;
  engine->rate = 0;
  engine->end(1, true);
  tick();
  EXPECT_EQ(host.panes[2], gbk("晴天 - 小林  下载完成"));
  EXPECT_EQ(host.notices, (std::vector<std::string>{gbk("下载完成 | 晴天 - 小林 | /D/")}));
  EXPECT_EQ(host.sounds, 1);
  EXPECT_EQ(host.lastSound, completionSound());
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000000000);
}

TEST_F(HandlerTest, AFailedTaskIsAnnouncedAsFailedWithoutSound) {
  chooseFolder("/D/");
  host.selected = 1;
  host.choose(gbk("下载"));
  host.fakeEngine()->end(1, false);
  tick();
  EXPECT_EQ(host.panes[2], gbk("X - Y  下载失败"));
  EXPECT_EQ(host.notices, (std::vector<std::string>{gbk("下载失败 | X - Y | /D/")}));
  EXPECT_EQ(host.sounds, 0);
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000000000);
}

TEST_F(HandlerTest, ASecondDownloadRestartsTheDisplay) {
  chooseFolder("/D/");
  host.selected = 0;
  host.choose(gbk("下载"));
  host.fakeEngine()->end(1, true);
  tick();
  ASSERT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000000000);
  host.selected = 1;
  host.choose(gbk("下载"));
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000);
  host.selected = 0;
  host.choose(gbk("下载")); // two at once
  host.fakeEngine()->end(2, true);
  tick();
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000); // the third is still running
  host.fakeEngine()->end(3, false);
  tick();
  EXPECT_EQ(host.panes[2], gbk("晴天 - 小林  下载失败"));
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 1000000000);
  host.exit();
  EXPECT_EQ(host.fakeEngine()->releases, 1);
}

TEST_F(HandlerTest, HostileNamesStayInsideTheFolder) {
  EXPECT_EQ(safeFileName("../../etc/passwd"), "_._.._etc_passwd");
  EXPECT_EQ(safeFileName(".hidden"), "_hidden");
  EXPECT_EQ(safeFileName(std::string("a\0b", 3)), "a"); // text ends at its first zero byte
  EXPECT_EQ(safeFileName("a<b>c:d\"e|f?g*h\\i\x01j"), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(safeFileName(""), "_");
  // GBK trail bytes that look like '\' or '|' are parts of characters, not separators.
  EXPECT_EQ(safeFileName("\x95\x5C\xD6\xD0"), "\x95\x5C\xD6\xD0");
  const std::string longName(400, 'x');
  EXPECT_EQ(safeFileName(longName).size(), 246u);
  std::string chinese;
  for (int i = 0; i < 200; ++i)
    chinese += gbk("中");
  const std::string cut = toUtf8(safeFileName(chinese));
  EXPECT_LE(cut.size() + 9, 255u);
  EXPECT_EQ(cut.size() % 3, 0u); // never half a character
  EXPECT_EQ(fromUtf8(cut), safeFileName(chinese));
}

TEST_F(HandlerTest, NothingSelectedMeansNothingHappens) {
  chooseFolder("/D/");
  host.selected = -1;
  host.choose(gbk("下载"));
  host.choose(gbk("播放"));
  host.choose(gbk("复制下载地址"));
  host.fire(n.mainWindow, n.resultList, EventKind::DoubleClick);
  EXPECT_TRUE(host.fakeEngine()->tasks.empty());
  EXPECT_FALSE(host.isWindowLoaded(n.playerWindow));
  EXPECT_EQ(host.clipboard, "");
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(HandlerTest, PlaybackLoadsTheWindowOnceAndCloseOnlyHides) {
  host.selected = 0;
  host.choose(gbk("播放"));
  ASSERT_TRUE(host.isWindowLoaded(n.playerWindow));
  EXPECT_EQ(host.player.urls, (std::vector<std::string>{"http://h/1.mp3"}));
  const int loads = host.loads;
  host.selected = 1;
  host.fire(n.mainWindow, n.resultList, EventKind::DoubleClick);
  EXPECT_EQ(host.player.urls.back(), "http://h/2.mp3");
  // Each song is described by its row before it plays, for the desktop's player controls.
  EXPECT_EQ(host.player.songs, (std::vector<std::string>{gbk("晴天 | 小林"), gbk("X | Y")}));
  EXPECT_EQ(host.player.stops, 0); // replaced, not stopped
  EXPECT_FALSE(host.fire(n.playerWindow, "", EventKind::CloseQuery));
  EXPECT_EQ(host.player.stops, 1);
  EXPECT_FALSE(host.isWindowVisible(n.playerWindow));
  EXPECT_TRUE(host.isWindowLoaded(n.playerWindow));
  host.choose(gbk("播放"));
  EXPECT_TRUE(host.isWindowVisible(n.playerWindow));
  EXPECT_EQ(host.loads, loads);
  host.fire(n.mainWindow, "", EventKind::Destroying);
  EXPECT_EQ(host.destroyed, (std::vector<std::string>{n.playerWindow}));
}

TEST_F(HandlerTest, PlayerThatCannotLoadDropsTheRequest) {
  host.refuseLoad = true;
  host.selected = 0;
  host.choose(gbk("播放"));
  EXPECT_TRUE(host.player.urls.empty());
  host.fire(n.mainWindow, "", EventKind::Destroying);
  EXPECT_TRUE(host.destroyed.empty());
}

TEST_F(HandlerTest, CopyLeavesExactlyColumnFour) {
  host.selected = 1;
  host.choose(gbk("复制下载地址"));
  EXPECT_EQ(host.clipboard, "http://h/2.mp3");
}

TEST_F(HandlerTest, AnAddressOffTheWebIsNeitherPlayedNorCopied) {
  for (const char* address :
       {"file:///etc/passwd", "ftp://h/1.mp3", "/etc/passwd", "javascript:1"}) {
    SCOPED_TRACE(address);
    host.rows[0][4] = address;
    host.selected = 0;
    host.choose(gbk("播放"));
    host.fire(n.mainWindow, n.resultList, EventKind::DoubleClick);
    host.choose(gbk("复制下载地址"));
    EXPECT_FALSE(host.isWindowLoaded(n.playerWindow));
    EXPECT_TRUE(host.player.urls.empty());
    EXPECT_EQ(host.clipboard, "");
  }
  host.rows[0][4] = "HTTPS://h/1.mp3";
  host.choose(gbk("播放"));
  EXPECT_EQ(host.player.urls, (std::vector<std::string>{"HTTPS://h/1.mp3"}));
}

TEST(Chime, LaidOutAsAWaveFile) {
  const Bytes& w = completionSound();
  ASSERT_EQ(w.size(), 138492u);
  auto u32 = [&w](std::size_t at) {
    return w[at] | (w[at + 1] << 8) | (w[at + 2] << 16) |
           (static_cast<std::uint32_t>(w[at + 3]) << 24);
  };
  auto tag = [&w](std::size_t at) { return std::string(w.begin() + at, w.begin() + at + 4); };
  EXPECT_EQ(tag(0), "RIFF");
  EXPECT_EQ(u32(4), 138484u);
  EXPECT_EQ(tag(8), "WAVE");
  EXPECT_EQ(tag(12), "fmt ");
  EXPECT_EQ(u32(16), 16u);
  EXPECT_EQ(u32(20) & 0xFFFF, 1u); // PCM
  EXPECT_EQ(u32(20) >> 16, 2u);    // channels
  EXPECT_EQ(u32(24), 44100u);
  EXPECT_EQ(u32(28), 176400u);
  EXPECT_EQ(u32(32) & 0xFFFF, 4u);
  EXPECT_EQ(u32(32) >> 16, 16u);
  EXPECT_EQ(tag(36), "LIST");
  EXPECT_EQ(u32(40), 200u);
  EXPECT_EQ(tag(44), "INFO");
  EXPECT_EQ(tag(244), "data");
  EXPECT_EQ(u32(248), 138240u);
  int loud = 0;
  for (std::size_t i = 252; i + 1 < w.size(); i += 2) {
    loud += std::abs(static_cast<std::int16_t>(w[i] | (w[i + 1] << 8))) > 1000;
  }
  EXPECT_GT(loud, 10000); // there is a sound in it
}
