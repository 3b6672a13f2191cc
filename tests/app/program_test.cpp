// The shell and the settings file, against the fake host.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sandbox.h"

#include <fstream>

#include "app/program.h"
#include "app/windows.h"
#include "fake_host.h"
#include "runtime/ini_file.h"
#include "settings/settings.h"
#include "text/codepage.h"

using namespace tunova;
using tunova::test::FakeHost;

namespace {

const Names& n = names();
const std::string kSep(1, kPathSeparator);

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
    EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/音乐/Songs") + kSep);
    // The next pick opens where the last one ended.
    host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
    EXPECT_EQ(host.lastPickerStart, gbk("/音乐/Songs"));
    // GBK bytes and CRLF line ends, as a Windows-written file has them.
    EXPECT_EQ(readFile(host.folder / "bc.ini"),
              gbk("[保存目录]\r\n保存=/音乐/Songs") + kSep + "\r\n");
  }
  host.windows.clear();
  Program again(host);
  again.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/音乐/Songs") + kSep);
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
  EXPECT_NE(after.find(gbk("保存=/srv/music") + kSep + "\r\n"), std::string::npos);
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
  EXPECT_EQ(host.messages,
            (std::vector<std::string>{gbk("无法保存设置：") + (host.folder / "bc.ini").string()}));
  // A real write failure: a file stands where the folder would be.
  std::ofstream(host.folder / "afile") << "x";
  EXPECT_FALSE(writeIniValue((host.folder / "afile" / "bc.ini").string(), "s", "k", "v"));
}

TEST(Settings, InstalledReadOnlyTheUsersOwnFileIsUsed) {
  FakeHost host;
  host.runFolderWritable = false;
  {
    Program program(host);
    program.start();
    EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), "");
    host.pickerResult = "/home/u/Music";
    host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/home/u/Music") + kSep);
    // The same format, in the user's folder (made for it, private); nothing beside the program.
    EXPECT_EQ(readFile(host.userFolder / "bc.ini"),
              "[" + gbk("保存目录") + "]\r\n" + gbk("保存") + "=/home/u/Music" + kSep + "\r\n");
#ifndef _WIN32
    EXPECT_EQ(std::filesystem::status(host.userFolder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
#endif
    EXPECT_FALSE(std::filesystem::exists(host.folder / "bc.ini"));
  }
  host.windows.clear();
  Program again(host);
  again.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/home/u/Music") + kSep);
  std::string folder;
  ASSERT_TRUE(lookupSaveFolder(host, folder));
  EXPECT_EQ(folder, "/home/u/Music" + kSep);
}

TEST(Settings, AFileBesideAReadOnlyProgramIsReadUntilTheUserSavesTheirOwn) {
  FakeHost host;
  std::ofstream(host.folder / "bc.ini", std::ios::binary)
      << gbk("[保存目录]\r\n保存=/srv/shared") + kSep + "\r\n";
  host.runFolderWritable = false;
  Program program(host);
  program.start();
  EXPECT_EQ(host.caption(n.mainWindow, n.folderLabel), gbk("保存目录：/srv/shared") + kSep);
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  EXPECT_EQ(host.lastPickerStart, "/srv/shared"); // the picker starts at the folder in effect
  host.pickerResult = "/home/u/Mine";
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  std::string folder;
  ASSERT_TRUE(lookupSaveFolder(host, folder));
  EXPECT_EQ(folder, "/home/u/Mine" + kSep);
  EXPECT_EQ(readFile(host.folder / "bc.ini"),
            gbk("[保存目录]\r\n保存=/srv/shared") + kSep + "\r\n");
  // A writable (portable) folder keeps its own file, whatever the user's folder holds.
  host.runFolderWritable = true;
  ASSERT_TRUE(lookupSaveFolder(host, folder));
  EXPECT_EQ(folder, "/srv/shared" + kSep);
}

#ifdef _WIN32
TEST(SettingsFile, TheUsersFolderIsUnderAppData) {
  const char* saved = std::getenv("APPDATA");
  const std::string appData = saved ? saved : "";
  test::setEnv("APPDATA", "C:\\Users\\u\\AppData\\Roaming");
  EXPECT_EQ(userSettingsFolderOfProcess(), "C:\\Users\\u\\AppData\\Roaming\\Tunova");
  test::unsetEnv("APPDATA");
  EXPECT_EQ(userSettingsFolderOfProcess(), "");
  if (!appData.empty()) test::setEnv("APPDATA", appData);
}
#else
TEST(SettingsFile, TheUsersFolderFollowsXdgConfigHome) {
  const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
  const std::string config = savedConfig ? savedConfig : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  test::setEnv("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(userSettingsFolderOfProcess(), "/cfg/tunova");
  test::setEnv("XDG_CONFIG_HOME", "relative"); // not absolute: ignored
  test::setEnv("HOME", "/home/u");
  EXPECT_EQ(userSettingsFolderOfProcess(), "/home/u/.config/tunova");
  test::unsetEnv("XDG_CONFIG_HOME");
  EXPECT_EQ(userSettingsFolderOfProcess(), "/home/u/.config/tunova");
  test::unsetEnv("HOME");
  EXPECT_EQ(userSettingsFolderOfProcess(), "");
  if (!home.empty()) test::setEnv("HOME", home.c_str());
  if (savedConfig) test::setEnv("XDG_CONFIG_HOME", config.c_str());
}
#endif

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

namespace {

// bc.ini as another program left it, GBK, with everything an INI file may hold.
[[maybe_unused]] std::string sharedFile() {
  return gbk("; written by another tool\r\n"
             "[其他]\r\n"
             "x = 1\r\n"
             "\r\n"
             "[保存目录]\r\n"
             "  ; a comment inside\r\n"
             "保存 = D:\\Music\\\r\n"
             "other=keep\r\n"
             "\r\n"
             "[last]\r\n"
             "y=2");
}

std::string ini(const FakeHost& host) {
  return (host.folder / "bc.ini").string();
}

} // namespace

// The file layer of Linux keeps every byte it does not change; on Windows the platform's own INI
// routines write the file, as every other program there does.
#ifndef _WIN32
TEST(SettingsFile, WritingChangesOnlyTheOneLine) {
  FakeHost host;
  std::ofstream(ini(host), std::ios::binary) << sharedFile();
  ASSERT_TRUE(writeIniValue(ini(host), gbk("保存目录"), gbk("保存"), "/srv/music/"));
  std::string expected = sharedFile();
  expected.replace(expected.find(gbk("保存 = D:\\Music\\")), gbk("保存 = D:\\Music\\").size(),
                   gbk("保存=/srv/music/"));
  EXPECT_EQ(readFile(ini(host)), expected);
  // A key the section lacks goes after the section's last line; a missing section goes last.
  ASSERT_TRUE(writeIniValue(ini(host), "last", "z", "3"));
  ASSERT_TRUE(writeIniValue(ini(host), "new", "k", "v"));
  EXPECT_EQ(readFile(ini(host)), expected + "\r\nz=3\r\n[new]\r\nk=v\r\n");
}
#endif

#ifndef _WIN32 // on Windows the platform's own INI routine writes the file
// Two programs saving at the same moment: the writer whose value is in the file afterwards
// said it had saved, and no temporary file is left behind.
TEST(SettingsFile, SimultaneousWritersEachReportWhatHappened) {
  FakeHost host;
  const std::string path = ini(host);
  int lostSuccess = 0;
  for (int round = 0; round < 200; ++round) {
    const std::string a = "/a" + std::to_string(round) + "/",
                      b = "/b" + std::to_string(round) + "/";
    std::atomic<int> ready{0};
    bool okA = false, okB = false;
    auto writer = [&](const std::string& value, bool& ok) {
      ++ready;
      while (ready < 2) {
      }
      ok = writeIniValue(path, gbk("保存目录"), gbk("保存"), value);
    };
    std::thread ta(writer, a, std::ref(okA)), tb(writer, b, std::ref(okB));
    ta.join();
    tb.join();
    const std::string now = readIniValue(path, gbk("保存目录"), gbk("保存"));
    ASSERT_TRUE(now == a || now == b) << now;
    if ((now == a && !okA) || (now == b && !okB)) ++lostSuccess;
  }
  EXPECT_EQ(lostSuccess, 0) << "a writer whose value was saved reported a failure";
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(host.folder))
    left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"bc.ini"});
}
#endif

TEST(SettingsFile, ReadsAsThePlatformDoes) {
  FakeHost host;
  // A section name whose GBK trail byte is 0x5D (乚 is 0x81 0x5D), duplicates, quotes, spacing.
  const std::string text =
      gbk("[乚区]\r\nk=in\r\n[保存目录]\r\n保存=\"/first/\"\r\n保存=/second/\r\n"
          "[保存目录]\r\n保存=/third/\r\n[Q]\r\na='x y'\r\nb=\"z\r\nC = spaced \r\n");
  ASSERT_EQ(text.substr(1, 2), "\x81\x5D");
  std::ofstream(ini(host), std::ios::binary) << text;
  EXPECT_EQ(readIniValue(ini(host), gbk("乚区"), "k"), "in");
  EXPECT_EQ(readIniValue(ini(host), gbk("保存目录"), gbk("保存")), "/first/");
  EXPECT_EQ(readIniValue(ini(host), "q", "A"), "x y");
  EXPECT_EQ(readIniValue(ini(host), "Q", "b"), "\"z");
  EXPECT_EQ(readIniValue(ini(host), "Q", "c"), "spaced");
  EXPECT_EQ(readIniValue(ini(host), "Q", "none"), "");
  // The first of the duplicates is the one that is written.
  ASSERT_TRUE(writeIniValue(ini(host), gbk("保存目录"), gbk("保存"), "/new/"));
  EXPECT_NE(readFile(ini(host)).find(
                gbk("[保存目录]\r\n保存=/new/\r\n保存=/second/\r\n[保存目录]\r\n保存=/third/")),
            std::string::npos);
}

#ifndef _WIN32 // links, permission bits and file names outside the code page
TEST(SettingsFile, LinksAreWrittenThroughAndReadOnlyFilesRefused) {
  FakeHost host;
  const auto target = host.folder / "elsewhere.ini";
  std::ofstream(target, std::ios::binary) << "[a]\r\nb=c\r\n";
  std::filesystem::create_symlink(target, ini(host));
  ASSERT_TRUE(writeIniValue(ini(host), "a", "b", "d"));
  EXPECT_TRUE(std::filesystem::is_symlink(ini(host)));
  EXPECT_EQ(readFile(target), "[a]\r\nb=d\r\n");
  std::filesystem::permissions(target, std::filesystem::perms::owner_read);
  EXPECT_FALSE(writeIniValue(ini(host), "a", "b", "e"));
  EXPECT_EQ(readFile(target), "[a]\r\nb=d\r\n");
  // The program says so.
  Program program(host);
  program.start();
  host.pickerResult = "/x";
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].rfind(gbk("无法保存设置："), 0), 0u);
}

TEST(SettingsFile, AFolderNameGbkCannotHoldStillWorks) {
  FakeHost host;
  host.folder = host.folder / "Musik-\xC3\xB6"; // ö in the file system's UTF-8
  std::filesystem::create_directory(host.folder);
  Program program(host);
  program.start();
  host.pickerResult = "/songs";
  host.fire(n.mainWindow, n.chooseFolder, EventKind::LeftDown);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(readFile(host.folder / "bc.ini"), gbk("[保存目录]\r\n保存=/songs/\r\n"));
  std::string folder;
  EXPECT_TRUE(lookupSaveFolder(host, folder));
  EXPECT_EQ(folder, "/songs/");
}
#endif
