#pragma once
// Host: everything the program asks of the platform it runs on.
//
// The program image reaches windows, controls, files, the clipboard, sound, the folder picker,
// the download engine and the media player only through this interface. The wx runtime, the
// console host of tunova-cli and the fake host of the tests implement it. Windows and controls
// are named as in the window definitions; texts are GBK; rows and columns count from 0.
#include <functional>
#include <string>

#include "host/download_task.h"
#include "host/windows.h"
#include "text/text.h"

namespace tunova {

// What an event tells its handler.
struct EventArgs {
  int x = 0;
  int y = 0;
  int modifiers = 0;
  int keyCode = 0;
};

// The receiver of every event the host raises.
class EventSink {
public:
  virtual ~EventSink() = default;
  // Runs `handler` for an event of `control` in `window` (control empty: the window itself).
  // The result answers events that ask a question (may the window close?); others ignore it.
  virtual bool handleEvent(HandlerId handler, const std::string& window, const std::string& control,
                           const EventArgs& args) = 0;
};

class MediaPlayer {
public:
  virtual ~MediaPlayer() = default;
  // Starts playing `url` at once, replacing whatever was playing.
  virtual void setUrl(const std::string& url) = 0;
  // The song the next setUrl plays, as its row names it, for the desktop's player controls.
  virtual void describeSong(const std::string& title, const std::string& artist) {}
  virtual void stop() = 0;
};

class Host {
public:
  virtual ~Host() = default;

  // Windows. loadWindow creates the window from its definition and shows it (not modal), raising
  // its created event before any user input; it returns false when the window cannot be made.
  virtual bool loadWindow(const WindowDefinition& definition, EventSink& sink) = 0;
  virtual bool isWindowLoaded(const std::string& window) = 0;
  virtual void showWindow(const std::string& window, bool visible) = 0;
  virtual bool isWindowVisible(const std::string& window) = 0;
  // Destroys the window without a close query.
  virtual void destroyWindow(const std::string& window) = 0;
  // Runs until the last window is gone.
  virtual void runMessageLoop() = 0;
  // Runs once when the program ends.
  virtual void registerExitRoutine(std::function<void()> routine) = 0;

  // Control properties.
  virtual std::string caption(const std::string& window, const std::string& control) = 0;
  virtual void setCaption(const std::string& window, const std::string& control,
                          const std::string& text) = 0;
  virtual std::string tagText(const std::string& window, const std::string& control) = 0;
  virtual std::string editText(const std::string& window, const std::string& control) = 0;
  virtual void setEditText(const std::string& window, const std::string& control,
                           const std::string& text) = 0;
  virtual int timerPeriod(const std::string& window, const std::string& control) = 0;
  // 0 stops the timer; any other period (re)starts it.
  virtual void setTimerPeriod(const std::string& window, const std::string& control, int ms) = 0;

  // Pops up the sub-items of the menu item titled `menuTitle` at the mouse position; the chosen
  // item's handler runs through its binding.
  virtual void popupMenu(const std::string& window, const std::string& menuTitle) = 0;

  // Report list.
  virtual void clearRows(const std::string& window, const std::string& list) = 0;
  virtual int appendRow(const std::string& window, const std::string& list) = 0;
  virtual int rowCount(const std::string& window, const std::string& list) = 0;
  virtual void setCell(const std::string& window, const std::string& list, int row, int column,
                       const std::string& text) = 0;
  virtual std::string cell(const std::string& window, const std::string& list, int row,
                           int column) = 0;
  // The selected row, or -1 when none is.
  virtual int selectedRow(const std::string& window, const std::string& list) = 0;

  // Status bar.
  virtual void setPaneText(const std::string& window, const std::string& bar, int pane,
                           const std::string& text) = 0;
  virtual std::string paneText(const std::string& window, const std::string& bar, int pane) = 0;

  // A message box with one OK button and the host's default caption; returns when closed.
  virtual void messageBox(const std::string& text) = 0;
  virtual void setClipboardText(const std::string& text) = 0;

  // Files and settings. The program's folder and the settings file's path are in the platform's
  // own form (file-system bytes, which GBK may not be able to hold); settings values are GBK.
  virtual std::string runFolder() = 0; // no trailing separator
  // Where this user's settings go when the program's folder cannot be written (platform form,
  // no trailing separator; empty when the platform has no such place), and whether a folder
  // can be written by this process.
  virtual std::string userSettingsFolder() { return {}; }
  virtual bool canWriteFolder(const std::string& folder) { return true; }
  virtual bool fileExists(const std::string& path) = 0;
  virtual std::string readIni(const std::string& path, const std::string& section,
                              const std::string& key) = 0;
  // Creates the file and section as needed; false when nothing could be stored.
  virtual bool writeIni(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) = 0;

  // Plays a RIFF/WAVE byte set once, without waiting for it to end.
  virtual void playSound(const Bytes& wave) = 0;

  // A notice on the desktop, besides the window's own: `title` and `text`, with an action that
  // opens `folder` where the desktop's notice service offers actions. Nothing happens where
  // there is no such service.
  virtual void notifyDesktop(const std::string& title, const std::string& text,
                             const std::string& folder) {}

  // The folder picker, opening at `startFolder` when that is given: the chosen folder's full
  // path, or empty when the user cancelled.
  virtual std::string chooseFolder(const std::string& title, bool option,
                                   const std::string& startFolder) = 0;

  // Waiting on the network. A query blocks the window thread on its requests; between
  // beginWait and endWait the host keeps its windows painting and answering the window
  // manager, and holds the user's input to them off (dropped, not queued), each time keepAlive
  // is called (the request routine calls it tens of times a second). keepAlive returns false
  // once the user asked to close the main window: the caller then abandons what it waits for,
  // and the close goes ahead after endWait. A host whose windows need no care keeps these.
  virtual void beginWait() {}
  virtual bool keepAlive() { return true; }
  virtual void endWait() {}

  virtual DownloadEngine& downloadEngine() = 0;
  // The media player control of a loaded window, or nullptr.
  virtual MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) = 0;
};

} // namespace tunova
