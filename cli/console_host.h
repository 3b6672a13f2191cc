#pragma once
// The console host of tunova-cli: the program's windows live in memory, timers are driven by
// the host's loop, message boxes go to standard error, and downloads use the same engine as the
// window runtime.
#include <csignal>
#include <map>
#include <memory>
#include <optional>

#include "cli/memory_host.h"
#include "host/host.h"

namespace tunova {

class WatchedEngine;

// A download started through the console host's engine: where it writes and, once the download
// timer's handler has taken its end, how it ended.
struct TaskRecord {
  std::string path; // GBK, as the task named it
  bool ended = false;
  DownloadEnd end;
};

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
  // Runs the exit routines, then waits briefly for a sound still playing and for requests
  // given up to end.
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
  // Every download started so far, by task id, and the id of the last one (0: none yet).
  const std::map<int, TaskRecord>& tasks() const;
  int lastTaskId() const;
  // Whether a download has ended that the download timer's handler has not yet taken.
  bool endWaiting();
  // The engine's overall receive rate (0 before the first download).
  std::int32_t currentRate();

  // While the flag is set (by a signal handler), waits on the network are abandoned.
  void watchInterrupt(const volatile std::sig_atomic_t* flag) { interrupt_ = flag; }
  bool keepAlive() override { return !(interrupt_ && *interrupt_); }
  MediaPlayer* mediaPlayer(const std::string& window, const std::string& control) override {
    return nullptr;
  }

private:
  std::string pickedFolder_;
  bool isSettingsFile(const std::string& path);
  std::vector<std::string> messages_;
  std::optional<std::string> folderOverride_;
  std::unique_ptr<WatchedEngine> engine_;
  const volatile std::sig_atomic_t* interrupt_ = nullptr;
};

} // namespace tunova
