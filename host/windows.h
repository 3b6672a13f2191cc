#pragma once
// What a window definition is made of: controls with their name, kind, geometry, caption, tag
// text, flags and event bindings, plus the menu tree; and the names of the program's windows and
// controls. Hosts build their windows from definitions and route each event to the bound
// handler; the program's own definitions are in app/windows.h.
#include <string>
#include <vector>

namespace tunova {

enum class ControlKind {
  MenuItem,
  Label,
  Button,
  EditBox,
  Timer,
  ReportList,
  StatusBar,
  MediaPlayer
};

enum class EventKind {
  Created,        // the window was created
  Destroying,     // the window is about to be destroyed
  CloseQuery,     // may the window close?
  KeyDown,        // a key went down (key code, modifiers)
  DoubleClick,    // double-click (position, modifiers)
  Clicked,        // a button was clicked
  LeftUp,         // left mouse button released (position, modifiers)
  LeftDown,       // left mouse button pressed (position, modifiers)
  ItemRightClick, // right-click on a list item
  Chosen,         // a menu item was chosen
  Tick,           // a timer period elapsed
};

enum class HandlerId {
  onMainWindowCreated,
  onMainWindowDestroying,
  onSearchBoxKeyDown,
  onSearchBoxDoubleClick,
  onSearchClicked,
  onTagClicked,
  chooseSaveFolder,
  onResultListRightClick,
  onResultListDoubleClick,
  playSelected,
  downloadSelected,
  copySelectedAddress,
  onDownloadTimer,
  onPlayerWindowCloseQuery,
};

struct EventBinding {
  EventKind event;
  HandlerId handler;
};

enum class Alignment { Left, Right, Center };

struct Column {
  std::string title;
  int width;
  Alignment alignment;
};

struct Pane {
  int width;
  std::string text;
};

// The media player's stored settings.
struct PlayerSettings {
  std::string url;
  int playCount = 1;
  bool autoStart = true;
  int volume = 100;
  bool mute = false;
  std::string uiMode = "full";
  bool contextMenu = true;
  bool errorDialogs = false;
  bool fullScreen = false;
};

struct Control {
  std::string name; // empty for menu items
  ControlKind kind;
  int left = 0, top = 0, width = 0, height = 0;
  std::string tagText;
  bool visible = true;
  bool disabled = false;
  bool tabStop = false;
  // With Alt, this key ('1', 'D', ...) acts as a click on the control: its click or release
  // handler runs, whatever has the focus. 0: none.
  char accessKey = 0;
  std::string caption;
  std::vector<EventBinding> events;
  int menuLevel = 0;           // menu items: 0 top, 1 sub-item
  std::vector<Column> columns; // report list
  std::vector<Pane> panes;     // status bar
  int timerPeriod = 0;         // timer, ms; 0 stopped
  PlayerSettings player;       // media player
};

struct WindowDefinition {
  std::string name;
  int left = 0, top = 0, width = 0, height = 0; // outer size
  std::string caption;
  bool hasIcon = false;
  bool visible = true;
  std::vector<EventBinding> events;
  std::vector<Control> controls;

  const Control* find(const std::string& controlName) const {
    for (const Control& c : controls) {
      if (!c.name.empty() && c.name == controlName) return &c;
    }
    return nullptr;
  }

  // The binding of `event` on `control` (empty: the window itself), or nullptr when the event
  // has no handler.
  const EventBinding* binding(const std::string& control, EventKind event) const {
    const Control* c = control.empty() ? nullptr : find(control);
    if (!control.empty() && !c) return nullptr;
    for (const EventBinding& b : c ? c->events : events) {
      if (b.event == event) return &b;
    }
    return nullptr;
  }
};

// Control and window names, as GBK texts.
struct Names {
  std::string mainWindow = "MainWindow";
  std::string playerWindow = "PlayerWindow";
  std::string searchBox;              // 编辑框1
  std::string searchButton;           // 按钮1
  std::string timer;                  // 时钟1
  std::string chooseFolder;           // 设置目录
  std::string folderLabel;            // 存放目录
  std::string resultList;             // 超级列表框1
  std::string statusBar;              // 状态条1
  std::string player;                 // 播放器1
  std::string menu;                   // 菜单
  std::vector<std::string> tagLabels; // the seven 标签_ labels, left to right
};
const Names& names();

} // namespace tunova
