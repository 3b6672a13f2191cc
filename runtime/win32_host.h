#pragma once
// The Windows host: builds native windows and common controls (edit box, buttons, labels, a
// report list view, a status bar, timers, the pop-up menu) from the program's window definitions
// with the Win32 API directly, routes every bound event to the program, and offers the platform
// services of Host. Texts reach the controls as UTF-16 converted from GBK, so Chinese shows on
// any system locale.
#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "host/host.h"
#include "runtime/platform_host.h"
#include "runtime/wide_text.h"

namespace tunova {

class PlatformDownloadEngine;
class WmpPlayer;

class Win32Host : public PlatformHost {
public:
  Win32Host();
  ~Win32Host() override;

  bool loadWindow(const WindowDefinition& definition, EventSink& sink) override;
  bool isWindowLoaded(const std::string& window) override;
  void showWindow(const std::string& window, bool visible) override;
  bool isWindowVisible(const std::string& window) override;
  void destroyWindow(const std::string& window) override;
  void runMessageLoop() override;
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
  void messageBox(const std::string& text) override;
  void setClipboardText(const std::string& text) override;
  void playSound(const Bytes& wave) override;
  std::string chooseFolder(const std::string& title, bool option,
                           const std::string& startFolder) override;
  DownloadEngine& downloadEngine() override;
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override;

  // For tests: the native windows behind a window and its controls, and the player.
  HWND windowHandle(const std::string& window);
  HWND controlHandle(const std::string& window, const std::string& control);
  WmpPlayer* player(const std::string& window, const std::string& control);

  struct WindowState;
  // The window procedure's way in (public for the procedures in the source file).
  LRESULT handleMessage(WindowState& w, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handleControlMessage(WindowState& w, const std::string& control, HWND hwnd, UINT message,
                               WPARAM wParam, LPARAM lParam);

private:
  void raise(WindowState& w, const std::string& control, EventKind kind, const EventArgs& args);
  WindowState* find(const std::string& window);
  void requestClose(const std::string& window);
  std::map<std::string, std::unique_ptr<WindowState>> windows_;
  std::unique_ptr<PlatformDownloadEngine> engine_;
  HFONT font_ = nullptr;

  // A wait on the network (see PlatformHost).
  void holdInput() override;
  void releaseInput() override;
  void serviceWindows() override;
  void closeAfterWait(const std::string& window) override;
  void waitForPendingSounds() override;
  bool moveFocus(const MSG& msg);
  HWND focused_ = nullptr;
};

// Initialises the common controls and COM for this thread (once).
bool startWin32Host();

} // namespace tunova
