#include "fake_host.h"

#include <cstdlib>

#include "runtime/ini_file.h"
#include "text/codepage.h"

namespace tunova::test {

FakeHost::FakeHost() = default;

FakeHost::~FakeHost() = default;

bool FakeHost::loadWindow(const WindowDefinition& definition, EventSink& sink) {
  if (refuseLoad && definition.name == names().playerWindow) return false;
  ++loads;
  return MemoryHost::loadWindow(definition, sink);
}

void FakeHost::destroyWindow(const std::string& window) {
  if (isWindowLoaded(window)) destroyed.push_back(window);
  MemoryHost::destroyWindow(window);
}

void FakeHost::setTimerPeriod(const std::string& window, const std::string& control, int ms) {
  MemoryHost::setTimerPeriod(window, control, ms);
  timerHistory.emplace_back(control, ms);
}

void FakeHost::clearRows(const std::string& window, const std::string& list) {
  if (onClear) onClear();
  MemoryHost::clearRows(window, list);
}

std::string FakeHost::runFolder() {
  return folder.string();
}

bool FakeHost::fileExists(const std::string& path) {
  return fileExistsAt(path);
}

std::string FakeHost::readIni(const std::string& path, const std::string& section,
                              const std::string& key) {
  return readIniValue(path, section, key);
}

bool FakeHost::writeIni(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
  if (failIniWrites) return false;
  if (!runFolderWritable && path.rfind(runFolder() + "/", 0) == 0) return false;
  return writeIniValue(path, section, key, value);
}

std::string FakeHost::chooseFolder(const std::string& title, bool, const std::string& startFolder) {
  lastPickerStart = startFolder;
  lastPickerTitle = title;
  return pickerResult;
}

MediaPlayer* FakeHost::mediaPlayer(const std::string& window, const std::string&) {
  return windows.count(window) ? &player : nullptr;
}

} // namespace tunova::test
