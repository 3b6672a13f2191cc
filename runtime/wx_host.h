#pragma once
// The wx host: builds real windows (wxWidgets on GTK 3) from the program's window definitions,
// routes every bound event to the program, and offers the platform services of Host.
#include <map>
#include <memory>
#include <string>

#include "host/host.h"
#include "runtime/platform_host.h"

class wxFrame;
class wxWindow;
class wxListCtrl;
class wxStatusBar;
class wxTimer;
class wxTextCtrl;
class wxString;

namespace tunova {

class PlatformDownloadEngine;
struct MediaBackend;

class WxHost : public PlatformHost {
public:
  // `media`: the player and sound to use; by default the media module, loaded on first use.
  explicit WxHost(const MediaBackend* media = nullptr);
  ~WxHost() override;

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

  // For tests: the toolkit objects behind a window and its controls.
  wxFrame* frame(const std::string& window);
  wxWindow* control(const std::string& window, const std::string& control);

  struct WindowState;

private:
  void raise(WindowState& w, const std::string& control, EventKind kind, const EventArgs& args);
  WindowState* find(const std::string& window);
  std::map<std::string, std::unique_ptr<WindowState>> windows_;
  std::unique_ptr<PlatformDownloadEngine> engine_;
  const MediaBackend* media();
  const MediaBackend* media_ = nullptr;

  // A wait on the network (see PlatformHost).
  void holdInput() override;
  void releaseInput() override;
  void serviceWindows() override;
  void closeAfterWait(const std::string& window) override;
  void waitForPendingSounds() override;
  std::string focusedControl_; // the control that had the focus when input was held off
};

// wx text from GBK, and back.
std::string gbkOf(const wxString& text);

// Starts wx for this process (once) without entering its loop; false without a display.
bool startToolkit(int argc, char** argv);
void stopToolkit();

} // namespace tunova
