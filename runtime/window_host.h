#pragma once
// The window host: HostCore with how this platform makes, shows and services windows and
// controls. One declaration, two implementations: window_host_wx.cpp builds real windows with
// wxWidgets on GTK 3 (WxHost on Linux), window_host_win32.cpp with the Win32 API and its common
// controls directly (Win32Host on Windows), where texts reach the controls as UTF-16 converted
// from GBK, so Chinese shows on any system locale.
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "runtime/host_core.h"

#ifdef _WIN32
#include <windows.h>
#else
class wxFrame;
class wxWindow;
class wxString;
#endif

namespace tunova {

struct MediaBackend;
class WmpPlayer;

class WindowHost : public HostCore {
public:
  // `media`: on Linux, the player and sound to use (by default the media module, loaded on
  // first use); Windows plays with its own controls and ignores it.
  explicit WindowHost(const MediaBackend* media = nullptr);
  ~WindowHost() override;

  void showWindow(const std::string& window, bool visible) override;
  bool isWindowVisible(const std::string& window) override;
  void runMessageLoop() override;
  void messageBox(const std::string& text) override;
  void setClipboardText(const std::string& text) override;
  void playSound(const Bytes& wave) override;
#ifndef _WIN32
  void notifyDesktop(const std::string& title, const std::string& text,
                     const std::string& folder) override;
#endif
  std::string chooseFolder(const std::string& title, bool option,
                           const std::string& startFolder) override;

#ifdef _WIN32
  // For tests: the native windows behind a window and its controls, and the player.
  HWND windowHandle(const std::string& window);
  HWND controlHandle(const std::string& window, const std::string& control);
  WmpPlayer* player(const std::string& window, const std::string& control);
#else
  // For tests: the toolkit objects behind a window and its controls.
  wxFrame* frame(const std::string& window);
  wxWindow* control(const std::string& window, const std::string& control);
#endif

  struct WindowState; // the platform's window and its controls
  struct Platform;    // what the platform keeps for the whole host

#ifdef _WIN32
  // The window procedures' way in (public for the procedures in the source file).
  LRESULT handleMessage(WindowState& w, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handleControlMessage(WindowState& w, const std::string& control, HWND hwnd, UINT message,
                               WPARAM wParam, LPARAM lParam);
#endif

private:
  std::unique_ptr<Platform> platform_;

  // Windows and controls on this platform (see HostCore).
  bool windowSystemReady() override;
  std::unique_ptr<Window> makeWindow(const WindowDefinition& definition) override;
  void makeEditBox(Window& w, const Control& c) override;
  void makeButton(Window& w, const Control& c) override;
  void makeLabel(Window& w, const Control& c) override;
  void makeReportList(Window& w, const Control& c) override;
  void makeStatusBar(Window& w, const Control& c) override;
  void makeTimer(Window& w, const Control& c) override;
  void makePlayer(Window& w, const Control& c) override;
  void finishWindow(Window& w) override;
  void tearDown(Window& w) override;
  void runTimer(Window& w, const std::string& timer, int ms) override;
  int chooseFromMenu(Window& w, const std::vector<std::string>& entries) override;
  std::string controlText(Window& w, const std::string& control, bool edit) override;
  void setControlText(Window& w, const std::string& control, bool edit,
                      const std::string& text) override;
  void listClear(Window& w) override;
  int listAppend(Window& w) override;
  int listCount(Window& w) override;
  void listSet(Window& w, int row, int column, const std::string& text) override;
  std::string listGet(Window& w, int row, int column) override;
  int listSelected(Window& w) override;
  void barSet(Window& w, int pane, const std::string& text) override;
  void lastWindowClosed() override;

  // A wait on the network (see PlatformHost).
  void holdInput() override;
  void releaseInput() override;
  void serviceWindows() override;
  void closeAfterWait(const std::string& window) override;
  void waitForPendingSounds() override;
};

#ifdef _WIN32
using Win32Host = WindowHost;
// Initialises the common controls and COM for this thread (once).
bool startWin32Host();
#else
using WxHost = WindowHost;
// wx text from GBK, and back.
std::string gbkOf(const wxString& text);
// Starts wx for this process (once) without entering its loop; false without a display.
bool startToolkit(int argc, char** argv);
void stopToolkit();
#endif

} // namespace tunova
