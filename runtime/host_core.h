#pragma once
// What every window runtime does with the program's windows, whatever draws them: the walk that
// builds a window from its definition, finding windows and controls, raising bound events, the
// close of a window (its query, the wait on the network), the pop-up menu's walk, tag texts,
// timer periods, the checks on rows, columns and panes, the download engine and the players.
//
// A runtime (wx on Linux, Win32 on Windows) derives from HostCore and gives only how its
// platform makes a window and each kind of control, shows them, and reads and writes what a
// control shows.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/windows.h"
#include "runtime/platform_host.h"

namespace tunova {

class PlatformDownloadEngine;

class HostCore : public PlatformHost {
public:
  HostCore();
  ~HostCore() override;

  bool loadWindow(const WindowDefinition& definition, EventSink& sink) override;
  bool isWindowLoaded(const std::string& window) override;
  void destroyWindow(const std::string& window) override;
  std::string caption(const std::string& window, const std::string& control) override;
  void setCaption(const std::string& window, const std::string& control,
                  const std::string& text) override;
  std::string tagText(const std::string& window, const std::string& control) override;
  std::string editText(const std::string& window, const std::string& control) override;
  void setEditText(const std::string& window, const std::string& control,
                   const std::string& text) override;
  int timerPeriod(const std::string& window, const std::string& control) override;
  void setTimerPeriod(const std::string& window, const std::string& control, int ms) override;
  void popupMenu(const std::string& window, const std::string& menuTitle) override;
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
  DownloadEngine& downloadEngine() override;
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override;

  // What the core keeps of a window; each runtime derives its own state from it.
  struct Window {
    virtual ~Window() = default;
    const WindowDefinition* definition = nullptr;
    EventSink* sink = nullptr;
    std::map<std::string, int> periods;          // each timer's period, 0 when stopped
    std::map<std::string, MediaPlayer*> players; // owned by the runtime's window
    const Control* list = nullptr;               // the report list, if any
    const Control* bar = nullptr;                // the status bar, if any
    std::vector<std::string> paneTexts;          // what each pane shows
  };

  Window* findWindow(const std::string& window);
  template <class W> W* find(const std::string& window) {
    return static_cast<W*>(findWindow(window));
  }
  // Raises the event bound to (control, kind) in the window, if any.
  void raise(Window& w, const std::string& control, EventKind kind, const EventArgs& args);
  void raise(const std::string& window, const std::string& control, EventKind kind,
             const EventArgs& args);
  // Alt with `key` pressed in the window: the control with that access key acts as clicked.
  // False when no control has it.
  bool pressAccessKey(const std::string& window, char key);
  // Every window, for the runtime's own walks (its message loop, Tab order, clean-up).
  const std::map<std::string, std::unique_ptr<Window>>& windows() const { return windows_; }

protected:
  // A close of the window the user asked for (the title bar's button, Alt+F4). While a handler
  // waits on the network it is deferred to the end of the wait; otherwise the close query
  // decides, and a window that may close gets its Destroying event and is destroyed.
  enum class Close { NotOurs, Stays, Closed };
  Close requestClose(const std::string& window, bool mayRefuse = true);

  // --- what a runtime gives ------------------------------------------------------------------
  virtual bool windowSystemReady() = 0;
  // A new native window for the definition, not shown yet; nullptr when it cannot be made.
  virtual std::unique_ptr<Window> makeWindow(const WindowDefinition& definition) = 0;
  // One builder per kind of control, each making the control inside the window.
  virtual void makeEditBox(Window& w, const Control& c) = 0;
  virtual void makeButton(Window& w, const Control& c) = 0;
  virtual void makeLabel(Window& w, const Control& c) = 0;
  virtual void makeReportList(Window& w, const Control& c) = 0;
  virtual void makeStatusBar(Window& w, const Control& c) = 0;
  virtual void makeTimer(Window& w, const Control& c) = 0;
  virtual void makePlayer(Window& w, const Control& c) = 0;
  // The window made and filled: shown when its definition says so.
  virtual void finishWindow(Window& w) = 0;
  // Stops the window's timers and destroys its native window (no close query); its players
  // have been stopped.
  virtual void tearDown(Window& w) = 0;
  virtual void runTimer(Window& w, const std::string& timer, int ms) = 0; // 0: stopped
  // Shows a pop-up menu of these entries (at the pointer, or at the selected row when the list's
  // menu was asked for with a key); the one chosen, or -1.
  virtual int chooseFromMenu(Window& w, const std::vector<std::string>& entries) = 0;
  // What a control shows: its caption, or an edit box's text; empty for a control the window
  // does not have.
  virtual std::string controlText(Window& w, const std::string& control, bool edit) = 0;
  virtual void setControlText(Window& w, const std::string& control, bool edit,
                              const std::string& text) = 0;
  // The report list's rows; the core has checked `row` and `column`.
  virtual void listClear(Window& w) = 0;
  virtual int listAppend(Window& w) = 0;
  virtual int listCount(Window& w) = 0;
  virtual void listSet(Window& w, int row, int column, const std::string& text) = 0;
  virtual std::string listGet(Window& w, int row, int column) = 0;
  virtual int listSelected(Window& w) = 0;
  virtual void barSet(Window& w, int pane, const std::string& text) = 0;
  // The last window is gone (the message loop may end).
  virtual void lastWindowClosed() {}

private:
  void makeControl(Window& w, const Control& c);
  bool cellInRange(Window& w, int row, int column);

  std::map<std::string, std::unique_ptr<Window>> windows_;
  std::unique_ptr<PlatformDownloadEngine> engine_;
};

} // namespace tunova
