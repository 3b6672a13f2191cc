#pragma once
// The part of Host that is the same for every window runtime on a platform: the program's
// folder, the user's settings folder and the settings file, through the platform's own routines
// (runtime/process, runtime/ini_file); the exit routines; and the rule of a wait on the network,
// each runtime giving only how its windows are held, serviced and closed.
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "host/host.h"

namespace tunova {

class PlatformHost : public Host {
public:
  std::string runFolder() override;
  std::string userSettingsFolder() override;
  bool canWriteFolder(const std::string& folder) override;
  bool fileExists(const std::string& path) override;
  std::string readIni(const std::string& path, const std::string& section,
                      const std::string& key) override;
  bool writeIni(const std::string& path, const std::string& section, const std::string& key,
                const std::string& value) override;
  void registerExitRoutine(std::function<void()> routine) override;
  void beginWait() override;
  bool keepAlive() override;
  void endWait() override;

  // Runs the exit routines (once), then lets a sound still playing finish.
  void runExitRoutines();

protected:
  // The runtime's part of a wait: the main window's input held off with a busy cursor, and
  // given back; the windows serviced (paints, timers, input that reaches only disabled
  // controls); a close that was asked for during the wait, issued after it.
  virtual void holdInput() = 0;
  virtual void releaseInput() = 0;
  virtual void serviceWindows() = 0;
  virtual void closeAfterWait(const std::string& window) = 0;
  virtual void waitForPendingSounds() = 0;

  bool waiting() const { return waitDepth_ > 0; }
  bool holdingInput() const { return holding_; }
  // A close of `window` asked for while a handler waits: it goes ahead when the wait ends.
  void closeWhenWaitEnds(const std::string& window) { closesAsked_.insert(window); }

  std::string firstWindow_; // the main window: dialogs belong to it, a wait holds its input

private:
  std::vector<std::function<void()>> exitRoutines_;
  int waitDepth_ = 0;
  std::chrono::steady_clock::time_point waitStart_;
  std::chrono::steady_clock::time_point lastYield_;
  bool holding_ = false;
  std::set<std::string> closesAsked_; // windows whose close waits for the end of the wait
};

} // namespace tunova
