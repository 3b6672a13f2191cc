#include "app/program.h"

#include "app/windows.h"
#include "media/playback.h"
#include "settings/settings.h"

namespace tunova {

Program::Program(Host& host) : host_(host) {}

bool Program::start() {
  downloadStartup(downloads_);
  host_.registerExitRoutine([this] { downloadExit(downloads_); });
  return host_.loadWindow(mainWindowDefinition(), *this);
}

int Program::run() {
  if (!start()) return 1;
  host_.runMessageLoop();
  return 0;
}

bool Program::handleEvent(HandlerId handler, const std::string& window, const std::string& control,
                          const EventArgs& args) {
  switch (handler) {
  case HandlerId::onMainWindowCreated:
    onMainWindowCreated(host_);
    break;
  case HandlerId::onMainWindowDestroying:
    onMainWindowDestroying(host_);
    break;
  case HandlerId::onSearchBoxKeyDown:
    if (QueryOutcome q = onSearchBoxKeyDown(host_, args.keyCode, args.modifiers); q.ran)
      lastQuery_ = q;
    break;
  case HandlerId::onSearchBoxDoubleClick:
    onSearchBoxDoubleClick(host_);
    break;
  case HandlerId::onSearchClicked:
    lastQuery_ = onSearchClicked(host_);
    break;
  case HandlerId::onTagClicked:
    lastQuery_ = onTagClicked(host_, control);
    break;
  case HandlerId::chooseSaveFolder:
    chooseSaveFolder(host_);
    break;
  case HandlerId::onResultListRightClick:
    onResultListRightClick(host_);
    break;
  case HandlerId::onResultListDoubleClick:
    onResultListDoubleClick(host_, *this, playerWindowDefinition());
    break;
  case HandlerId::playSelected:
    playSelected(host_, *this, playerWindowDefinition());
    break;
  case HandlerId::downloadSelected:
    downloadSelected(host_, downloads_);
    break;
  case HandlerId::copySelectedAddress:
    copySelectedAddress(host_);
    break;
  case HandlerId::onDownloadTimer:
    onDownloadTimer(host_, downloads_);
    break;
  case HandlerId::onPlayerWindowCloseQuery:
    return onPlayerWindowCloseQuery(host_);
  }
  return true;
}

void onMainWindowCreated(Host& host) {
  showSaveFolder(host);
}

void onResultListRightClick(Host& host) {
  host.popupMenu(names().mainWindow, names().menu);
}

int runProgram(Host& host) {
  Program program(host);
  return program.run();
}

const ProgramImage kProgramImage = {kProgramImageMagic, kProgramImageVersion, &runProgram};

} // namespace tunova
