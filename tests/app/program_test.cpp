// The shell and the settings file, against the fake host.
#include <gtest/gtest.h>

#include <fstream>

#include "app/program.h"
#include "app/settings.h"
#include "fake_host.h"
#include "runtime/ini_file.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::FakeHost;

namespace {

const Names& n = names();

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(Startup, FirstRunWithoutSettingsLeavesTheLabelEmptyAndWritesNothing) {
  FakeHost host;
  Program program(host);
  ASSERT_TRUE(program.start());
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), "");
  EXPECT_TRUE(host.messages.empty());
  EXPECT_TRUE(std::filesystem::is_empty(host.folder));
  EXPECT_FALSE(host.isWindowLoaded(n.playerWindow));
  EXPECT_EQ(host.timerPeriod(n.mainWindow, n.timer), 0); // no tick before a download
  EXPECT_EQ(host.panes[0], gbk("状态："));
  EXPECT_EQ(host.panes[1], gbk("下载速度："));
  EXPECT_EQ(host.panes[2], "");
}

TEST(Settings, ChoosingAFolderStoresItWithTheSeparatorAndShowsItNowAndAfterARestart) {
  FakeHost host;
  {
    Program program(host);
    program.start();
    host.pickerResult = gbk("/音乐/Songs");
    host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
    EXPECT_EQ(host.lastPickerTitle, gbk("选择保存目录"));
    EXPECT_EQ(host.lastPickerStart, ""); // nothing chosen yet
    EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/音乐/Songs/"));
    // The next pick opens where the last one ended.
    host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
    EXPECT_EQ(host.lastPickerStart, gbk("/音乐/Songs"));
    // GBK bytes and CRLF line ends, as a Windows-written file has them.
    EXPECT_EQ(readFile(host.folder / "bc.ini"), gbk("[保存目录]\r\n保存=/音乐/Songs/\r\n"));
  }
  host.windows.clear();
  Program again(host);
  again.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/音乐/Songs/"));
}

TEST(Settings, AWindowsWrittenFileReads) {
  FakeHost host;
  std::ofstream(host.folder / "bc.ini", std::ios::binary)
      << gbk("; written elsewhere\r\n[其他]\r\nx=1\r\n[保存目录]\r\n保存=D:\\Music\\\r\n");
  Program program(host);
  program.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：D:\\Music\\"));
  // Writing keeps the other section.
  host.pickerResult = "/srv/music";
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  const std::string after = readFile(host.folder / "bc.ini");
  EXPECT_NE(after.find(gbk("[其他]\r\nx=1\r\n")), std::string::npos);
  EXPECT_NE(after.find(gbk("保存=/srv/music/\r\n")), std::string::npos);
}

TEST(Settings, AFileWithoutTheKeyShowsThePrefixAloneAndTheLookupSucceedsEmpty) {
  FakeHost host;
  std::ofstream(host.folder / "bc.ini") << "[other]\nk=v\n";
  Program program(host);
  program.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录："));
  std::string folder = "unchanged";
  EXPECT_TRUE(lookupSaveFolder(host, folder));
  EXPECT_EQ(folder, "");
}

TEST(Settings, CancelledPickerAndFailedWriteChangeNothing) {
  FakeHost host;
  Program program(host);
  program.start();
  host.pickerResult = "";
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  EXPECT_FALSE(std::filesystem::exists(host.folder / "bc.ini"));
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), "");
  host.pickerResult = "/a";
  host.failIniWrites = true;
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), "");
  // A real write failure: the program folder is not writable as a folder path.
  EXPECT_FALSE(
      writeIniValue(fromUtf8((host.folder / "missing" / "bc.ini").string()), "s", "k", "v"));
}

TEST(WindowDefinitions, TagsControlsAndMenu) {
  const WindowDefinition& w = mainWindowDefinition();
  EXPECT_EQ(w.width, 811);
  EXPECT_EQ(w.height, 498);
  EXPECT_EQ(w.caption, gbk("Tunova音乐搜索下载器"));
  const char* ids[] = {"850", "851", "854", "853", "858", "856", "857"};
  int left = 8;
  for (std::size_t i = 0; i < n.tagLabels.size(); ++i) {
    const Control* c = w.find(n.tagLabels[i]);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->tagText, ids[i]);
    EXPECT_EQ(c->left, left);
    left += 72;
    ASSERT_EQ(c->events.size(), 1u);
    EXPECT_EQ(c->events[0].event, EventKind::LeftUp);
  }
  std::vector<std::string> items;
  for (const Control& c : w.controls) {
    if (c.kind == ControlKind::MenuItem && c.menuLevel == 1) items.push_back(c.caption);
  }
  EXPECT_EQ(items, (std::vector<std::string>{gbk("播放"), gbk("下载"), gbk("复制下载地址")}));
  const Control* list = w.find(n.resultList);
  ASSERT_EQ(list->columns.size(), 5u);
  EXPECT_EQ(list->columns[3].alignment, Alignment::Right);
  EXPECT_EQ(list->columns[4].width, 300);
  const Control* bar = w.find(n.statusBar);
  ASSERT_EQ(bar->panes.size(), 4u);
  EXPECT_EQ(bar->panes[2].width, 300);
  const WindowDefinition& p = playerWindowDefinition();
  EXPECT_EQ(p.width, 380);
  EXPECT_EQ(p.caption, "");
  EXPECT_EQ(p.find(n.player)->width, 376);
}

TEST(Events, RightClickAsksForThePopupOfTheMenu) {
  FakeHost host;
  Program program(host);
  program.start();
  host.fire(n.mainWindow, n.resultList, EventKind::ItemRightClick);
  EXPECT_EQ(host.popups, (std::vector<std::string>{n.menu}));
}

TEST(Events, ExitReleasesTheEngineOnlyWhenOneWasUsed) {
  FakeHost host;
  {
    Program program(host);
    program.start();
    host.exit();
  }
  EXPECT_EQ(host.fakeEngine()->releases, 0);
}
