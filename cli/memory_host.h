#pragma once
// The part of a Host that keeps windows and controls in memory: what the console host of
// tunova-cli and the fake host of the tests share. It builds its windows from the definitions,
// keeps captions, edit texts, timer periods, rows and pane texts, and routes raised events to
// the bound handlers. Everything platform-specific is left to the hosts built on it.
#include <map>
#include <vector>

#include "host/host.h"

namespace tunova {

class MemoryHost : public Host {
public:
  // Raises `event` of `control` ("" for the window) in `window`; returns the handler's answer
  // (true when nothing is bound).
  bool fire(const std::string& window, const std::string& control, EventKind event,
            const EventArgs& args = {});
  // Runs the handler of the popup entry titled `title`, as choosing it would.
  bool choose(const std::string& title);
  // Runs the registered exit routines once.
  void runExitRoutines();

  bool loadWindow(const WindowDefinition& definition, EventSink& sink) override;
  bool isWindowLoaded(const std::string& window) override;
  void showWindow(const std::string& window, bool visible) override;
  bool isWindowVisible(const std::string& window) override;
  void destroyWindow(const std::string& window) override;
  void registerExitRoutine(std::function<void()> routine) override;
  std::string caption(const std::string& window, const std::string& control) override;
  void setCaption(const std::string& window, const std::string& control,
                  const std::string& text) override;
  std::string tagText(const std::string& window, const std::string& control) override;
  std::string editText(const std::string& window, const std::string& control) override;
  void setEditText(const std::string& window, const std::string& control,
                   const std::string& text) override;
  int timerPeriod(const std::string& window, const std::string& control) override;
  void setTimerPeriod(const std::string& window, const std::string& control, int ms) override;
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

  struct Window {
    const WindowDefinition* definition = nullptr;
    EventSink* sink = nullptr;
    bool visible = false;
    std::map<std::string, std::string> captions, edits;
    std::map<std::string, int> periods;
  };
  std::map<std::string, Window> windows;
  std::vector<std::vector<std::string>> rows; // the one report list's rows, five cells each
  int selected = -1;                          // its selected row, -1 for none
  std::map<int, std::string> panes;           // the status bar's pane texts

private:
  std::vector<std::function<void()>> exitRoutines_;
};

} // namespace tunova
