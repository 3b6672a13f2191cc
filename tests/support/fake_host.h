#pragma once
// A host for headless tests: it keeps every control's state in memory, records what the
// program did (message boxes, timer periods, popups, clipboard, sounds, player commands), keeps
// the program's folder (and so bc.ini) in a fresh temporary folder, and lets a test raise any
// bound event.
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "cli/memory_host.h"
#include "host/host.h"
#include "sandbox.h"

namespace tunova::test {

class FakeDownloadEngine : public DownloadEngine {
public:
  int start(const DownloadTask& task) override {
    tasks.push_back(task);
    ++running;
    return static_cast<int>(tasks.size());
  }
  std::int32_t currentRate() override { return rate; }
  std::vector<DownloadEnd> takeEnded() override {
    std::vector<DownloadEnd> out;
    out.swap(ended);
    return out;
  }
  int runningCount() override { return running; }
  void release() override { ++releases; }

  // Ends task `id` as the real engine would report it.
  void end(int id, bool completed) {
    ended.push_back(DownloadEnd{id, completed, {}});
    --running;
  }

  std::vector<DownloadTask> tasks;
  std::vector<DownloadEnd> ended;
  std::int32_t rate = 0;
  int running = 0;
  int releases = 0;
};

class FakePlayer : public MediaPlayer {
public:
  void setUrl(const std::string& url) override {
    urls.push_back(url);
    playing = true;
  }
  void describeSong(const std::string& title, const std::string& artist) override {
    songs.push_back(title + " | " + artist);
  }
  void stop() override {
    ++stops;
    playing = false;
  }
  std::vector<std::string> urls;
  std::vector<std::string> songs; // "title | artist", as described before each url
  int stops = 0;
  bool playing = false;
};

class FakeHost : public MemoryHost {
public:
  FakeHost();
  ~FakeHost() override;

  // Runs the registered exit routines once.
  void exit() { runExitRoutines(); }

  // Records.
  std::vector<std::string> messages;
  std::vector<std::pair<std::string, int>> timerHistory; // (timer, period)
  std::vector<std::string> popups;
  std::string clipboard;
  int sounds = 0;
  Bytes lastSound;
  std::vector<std::string> destroyed;
  int loads = 0;
  // Called at every clearRows, so a test can see what happened before it.
  std::function<void()> onClear;

  // Settings.
  Sandbox sandbox{"tunova-host"};
  std::filesystem::path folder = sandbox.path(); // run folder, removed at destruction
  std::string pickerResult; // what the folder picker returns (GBK); empty = cancelled
  std::string lastPickerTitle;
  bool failIniWrites = false;
  bool refuseLoad = false;

  std::unique_ptr<DownloadEngine> engine = std::make_unique<FakeDownloadEngine>();
  FakeDownloadEngine* fakeEngine() { return dynamic_cast<FakeDownloadEngine*>(engine.get()); }
  FakePlayer player;

  bool loadWindow(const WindowDefinition& definition, EventSink& sink) override;
  void destroyWindow(const std::string& window) override;
  void runMessageLoop() override {}
  void setTimerPeriod(const std::string& window, const std::string& control, int ms) override;
  void popupMenu(const std::string& window, const std::string& menuTitle) override {
    popups.push_back(menuTitle);
  }
  void clearRows(const std::string& window, const std::string& list) override;
  void messageBox(const std::string& text) override { messages.push_back(text); }
  void setClipboardText(const std::string& text) override { clipboard = text; }
  std::string runFolder() override;
  // The user's settings folder, and whether the run folder may be written (installed
  // read-only when false).
  Sandbox configSandbox{"tunova-config"};
  std::filesystem::path userFolder = configSandbox.path() / "tunova";
  bool runFolderWritable = true;
  std::string userSettingsFolder() override { return userFolder.string(); }
  bool canWriteFolder(const std::string& candidate) override {
    return candidate != runFolder() || runFolderWritable;
  }
  bool fileExists(const std::string& path) override;
  std::string readIni(const std::string& path, const std::string& section,
                      const std::string& key) override;
  bool writeIni(const std::string& path, const std::string& section, const std::string& key,
                const std::string& value) override;
  void playSound(const Bytes& wave) override {
    ++sounds;
    lastSound = wave;
  }
  void notifyDesktop(const std::string& title, const std::string& text,
                     const std::string& saveFolder) override {
    notices.push_back(title + " | " + text + " | " + saveFolder);
  }
  std::vector<std::string> notices; // "title | text | folder" of each desktop notice
  std::string chooseFolder(const std::string& title, bool option,
                           const std::string& startFolder) override;
  std::string lastPickerStart;
  // Waiting: how often each part of the service was used, and whether a wait is open. A test
  // asks for a close by setting `closeRequested` (keepAlive then answers false), or from
  // `onKeepAlive`, which runs at every call.
  void beginWait() override { ++waitsBegun; }
  bool keepAlive() override {
    ++keepAlives;
    if (onKeepAlive) onKeepAlive();
    return !closeRequested;
  }
  void endWait() override { ++waitsEnded; }
  int waitsBegun = 0;
  int waitsEnded = 0;
  int keepAlives = 0;
  bool closeRequested = false;
  std::function<void()> onKeepAlive;

  DownloadEngine& downloadEngine() override { return *engine; }
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override;
};

} // namespace tunova::test
