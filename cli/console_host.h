#pragma once
// The console host of tunova-cli: the program's windows live in memory, timers are driven by
// the host's loop, message boxes go to standard error, and downloads use the same engine as the
// window runtime.
#include <map>
#include <memory>
#include <optional>

#include "cli/memory_host.h"
#include "host/host.h"

namespace tunova {

class PlatformDownloadEngine;

class ConsoleHost : public MemoryHost {
public:
  ConsoleHost();
  ~ConsoleHost() override;

  // Use `folder` (GBK, no trailing separator) as the save folder instead of bc.ini.
  void overrideSaveFolder(const std::string& folder) { folderOverride_ = folder; }
  // Message boxes shown so far.
  const std::vector<std::string>& messages() const { return messages_; }
  // Called after every timer tick.
  std::function<void()> afterTick;

  // Drives the timers until none is running at a watching period.
  void runMessageLoop() override;
  // Runs the exit routines, then waits briefly for a sound still playing.
  void finish();
  void popupMenu(const std::string& window, const std::string& menuTitle) override {}
  void messageBox(const std::string& text) override;
  void setClipboardText(const std::string& text) override;
  std::string runFolder() override;
  std::string userSettingsFolder() override;
  bool canWriteFolder(const std::string& folder) override;
  bool fileExists(const std::string& path) override;
  std::string readIni(const std::string& path, const std::string& section,
                      const std::string& key) override;
  bool writeIni(const std::string& path, const std::string& section, const std::string& key,
                const std::string& value) override;
  void playSound(const Bytes& wave) override;
  // The folder picker answers with the folder given to pickFolder (GBK), once; else it is
  // cancelled.
  std::string chooseFolder(const std::string& title, bool option,
                           const std::string& startFolder) override {
    std::string answer;
    answer.swap(pickedFolder_);
    return answer;
  }
  void pickFolder(const std::string& folder) { pickedFolder_ = folder; }
  DownloadEngine& downloadEngine() override;
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override {
    return nullptr;
  }

private:
  std::string pickedFolder_;
  bool isSettingsFile(const std::string& path);
  std::vector<std::string> messages_;
  std::optional<std::string> folderOverride_;
  std::unique_ptr<PlatformDownloadEngine> engine_;
};

} // namespace tunova
