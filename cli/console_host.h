#pragma once
// The console host of tunova-cli: the program's windows live in memory, timers are driven by
// the host's loop, message boxes go to standard error, and downloads use the same engine as the
// window runtime.
#include <map>
#include <memory>
#include <optional>

#include "app/host.h"

namespace tunova {

class CurlDownloadEngine;

class ConsoleHost : public Host {
public:
  ConsoleHost();
  ~ConsoleHost() override;

  // Raises `event` of `control` in `window`.
  void fire(const std::string& window, const std::string& control, EventKind event,
            const EventArgs& args = {});
  // Runs the handler of the popup entry titled `title`.
  bool choose(const std::string& title);
  void select(int row) { selected_ = row; }
  const std::vector<std::vector<std::string>>& rows() const { return rows_; }
  const std::vector<std::string>& messages() const { return messages_; }
  // Use `folder` (GBK, no trailing separator) as the save folder instead of bc.ini.
  void overrideSaveFolder(const std::string& folder) { folderOverride_ = folder; }
  // Called after every timer tick.
  std::function<void()> afterTick;

  bool loadWindow(const WindowDefinition& definition, EventSink& sink) override;
  bool isWindowLoaded(const std::string& window) override;
  void showWindow(const std::string& window, bool visible) override;
  bool isWindowVisible(const std::string& window) override;
  void destroyWindow(const std::string& window) override;
  // Drives the timers until none is running at a watching period.
  void runMessageLoop() override;
  void registerExitRoutine(std::function<void()> routine) override;
  void runExitRoutines();
  std::string caption(const std::string& window, const std::string& control) override;
  void setCaption(const std::string& window, const std::string& control,
                  const std::string& text) override;
  std::string tagText(const std::string& window, const std::string& control) override;
  std::string editText(const std::string& window, const std::string& control) override;
  void setEditText(const std::string& window, const std::string& control,
                   const std::string& text) override;
  int timerPeriod(const std::string& window, const std::string& control) override;
  void setTimerPeriod(const std::string& window, const std::string& control, int ms) override;
  void popupMenu(const std::string& window, const std::string& menuTitle) override {}
  void clearRows(const std::string& window, const std::string& list) override;
  int appendRow(const std::string& window, const std::string& list) override;
  int rowCount(const std::string& window, const std::string& list) override;
  void setCell(const std::string& window, const std::string& list, int row, int column,
               const std::string& text) override;
  std::string cell(const std::string& window, const std::string& list, int row,
                   int column) override;
  int selectedRow(const std::string& window, const std::string& list) override;
  void setPaneText(const std::string& window, const std::string& bar, int pane,
                   const std::string& text) override;
  std::string paneText(const std::string& window, const std::string& bar, int pane) override;
  void messageBox(const std::string& text) override;
  void setClipboardText(const std::string& text) override;
  std::string runFolder() override;
  bool fileExists(const std::string& path) override;
  std::string readIni(const std::string& path, const std::string& section,
                      const std::string& key) override;
  bool writeIni(const std::string& path, const std::string& section, const std::string& key,
                const std::string& value) override;
  void playSound(const Bytes& wave) override;
  std::string chooseFolder(const std::string& title, bool option) override { return {}; }
  DownloadEngine& downloadEngine() override;
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override {
    return nullptr;
  }

private:
  struct Window {
    const WindowDefinition* definition = nullptr;
    EventSink* sink = nullptr;
    bool visible = true;
    std::map<std::string, std::string> captions, edits;
    std::map<std::string, int> periods;
  };
  bool isSettingsFile(const std::string& path);
  std::map<std::string, Window> windows_;
  std::vector<std::vector<std::string>> rows_;
  std::map<int, std::string> panes_;
  std::vector<std::string> messages_;
  int selected_ = -1;
  std::optional<std::string> folderOverride_;
  std::vector<std::function<void()>> exitRoutines_;
  std::unique_ptr<CurlDownloadEngine> engine_;
};

} // namespace tunova
