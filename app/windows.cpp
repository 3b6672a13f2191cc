#include "app/windows.h"

#include "text/text.h"

namespace tunova {

namespace {

Control control(const std::string& name, ControlKind kind, int left, int top, int width, int height,
                const std::string& caption = {}, const std::string& tag = {}) {
  Control c;
  c.name = name;
  c.kind = kind;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.caption = caption;
  c.tagText = tag;
  return c;
}

Control menuItem(const char* title, int level, std::vector<EventBinding> events) {
  Control c;
  c.kind = ControlKind::MenuItem;
  c.caption = gbk(title);
  c.menuLevel = level;
  c.events = std::move(events);
  return c;
}

WindowDefinition buildMainWindow() {
  const Names& n = names();
  WindowDefinition w;
  w.name = n.mainWindow;
  w.left = 50;
  w.top = 50;
  w.width = 811;
  w.height = 498;
  w.caption = gbk("Tunova音乐搜索下载器");
  w.hasIcon = true;
  w.events = {{EventKind::Created, HandlerId::onMainWindowCreated},
              {EventKind::Destroying, HandlerId::onMainWindowDestroying}};

  Control edit = control(n.searchBox, ControlKind::EditBox, 8, 9, 507, 32);
  edit.tabStop = true;
  edit.events = {{EventKind::KeyDown, HandlerId::onSearchBoxKeyDown},
                 {EventKind::DoubleClick, HandlerId::onSearchBoxDoubleClick}};
  w.controls.push_back(edit);

  Control button = control(n.searchButton, ControlKind::Button, 523, 9, 88, 32, gbk("搜索"));
  button.tabStop = true;
  button.events = {{EventKind::Clicked, HandlerId::onSearchClicked}};
  w.controls.push_back(button);

  Control timer = control(n.timer, ControlKind::Timer, 624, 16, 32, 24);
  timer.visible = false;
  timer.timerPeriod = 0;
  timer.events = {{EventKind::Tick, HandlerId::onDownloadTimer}};
  w.controls.push_back(timer);

  Control choose = control(n.chooseFolder, ControlKind::Label, 720, 8, 48, 32, gbk("设置目录"));
  choose.events = {{EventKind::LeftDown, HandlerId::chooseSaveFolder}};
  choose.accessKey = 'D';
  w.controls.push_back(choose);

  struct Tag {
    const char* caption;
    const char* id;
    int left;
  };
  const Tag tags[] = {{"热门", "850", 8},   {"飙演技", "851", 80}, {"民族风", "854", 152},
                      {"流行", "853", 224}, {"怀旧", "858", 296},  {"浪漫", "856", 368},
                      {"伤感", "857", 440}};
  for (std::size_t i = 0; i < std::size(tags); ++i) {
    Control label = control(n.tagLabels[i], ControlKind::Label, tags[i].left, 48, 56, 16,
                            gbk(tags[i].caption), tags[i].id);
    label.events = {{EventKind::LeftUp, HandlerId::onTagClicked}};
    label.accessKey = static_cast<char>('1' + i);
    w.controls.push_back(label);
  }

  w.controls.push_back(control(n.folderLabel, ControlKind::Label, 552, 48, 248, 24));

  Control list = control(n.resultList, ControlKind::ReportList, 5, 72, 803, 360);
  list.tabStop = true;
  list.columns = {{gbk("序号"), 50, Alignment::Left},
                  {gbk("音乐标题"), 200, Alignment::Left},
                  {gbk("歌手"), 150, Alignment::Left},
                  {gbk("时长"), 50, Alignment::Right},
                  {gbk("下载地址"), 300, Alignment::Left}};
  list.events = {{EventKind::ItemRightClick, HandlerId::onResultListRightClick},
                 {EventKind::DoubleClick, HandlerId::onResultListDoubleClick}};
  w.controls.push_back(list);

  Control bar = control(n.statusBar, ControlKind::StatusBar, 2, 413, 808, 24);
  bar.panes = {{130, gbk("状态：")},
               {170, gbk("下载速度：")},
               {300, ""},
               {200, gbk("Tunova · 自由的音乐小工具")}};
  w.controls.push_back(bar);

  // The menu tree: the top item only parents the three entries popped up over the list.
  w.controls.push_back(menuItem("菜单", 0, {}));
  w.controls.push_back(menuItem("播放", 1, {{EventKind::Chosen, HandlerId::playSelected}}));
  w.controls.push_back(menuItem("下载", 1, {{EventKind::Chosen, HandlerId::downloadSelected}}));
  w.controls.push_back(
      menuItem("复制下载地址", 1, {{EventKind::Chosen, HandlerId::copySelectedAddress}}));
  return w;
}

WindowDefinition buildPlayerWindow() {
  const Names& n = names();
  WindowDefinition w;
  w.name = n.playerWindow;
  w.left = 50;
  w.top = 50;
  w.width = 380;
  w.height = 71;
  w.events = {{EventKind::CloseQuery, HandlerId::onPlayerWindowCloseQuery}};
  Control player = control(n.player, ControlKind::MediaPlayer, 0, 0, 376, 45);
  player.tabStop = true;
  w.controls.push_back(player);
  return w;
}

} // namespace

const WindowDefinition& mainWindowDefinition() {
  static const WindowDefinition w = buildMainWindow();
  return w;
}

const WindowDefinition& playerWindowDefinition() {
  static const WindowDefinition w = buildPlayerWindow();
  return w;
}

} // namespace tunova
