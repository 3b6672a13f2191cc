#pragma once
// The program: its start-up sequence, the state that lives for the whole run (the download
// objects) and the routing of every bound event to its handler. One Program runs per process;
// tests create one per case against a fake host.
#include <cstdint>
#include <string>

#include "catalogue/catalogue.h"
#include "host/host.h"
#include "host/program_image.h"
#include "media/download.h"

namespace tunova {

class Program : public EventSink {
public:
  explicit Program(Host& host);

  // Start-up: the download objects, their exit step, MainWindow, then the message loop. Returns
  // the exit code.
  int run();

  // The start-up steps before the message loop (tunova-cli and tests drive the loop themselves).
  bool start();

  bool handleEvent(HandlerId handler, const std::string& window, const std::string& control,
                   const EventArgs& args) override;

  DownloadState& downloads() { return downloads_; }
  // How the last query went.
  const QueryOutcome& lastQuery() const { return lastQuery_; }
  Host& host() { return host_; }

private:
  Host& host_;
  DownloadState downloads_;
  QueryOutcome lastQuery_;
};

// The handlers that belong to the shell itself.
void onMainWindowCreated(Host& host);
void onResultListRightClick(Host& host);

// The entry routine: runs a Program on `host` and returns its exit code.
int runProgram(Host& host);

extern const ProgramImage kProgramImage;

} // namespace tunova
