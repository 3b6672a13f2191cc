#include "runtime/platform_host.h"

#include "runtime/ini_file.h"
#include "runtime/process.h"

namespace tunova {

std::string PlatformHost::runFolder() {
  return programFolderOfProcess();
}

std::string PlatformHost::userSettingsFolder() {
  return userSettingsFolderOfProcess();
}

bool PlatformHost::canWriteFolder(const std::string& folder) {
  return folderWritable(folder);
}

bool PlatformHost::fileExists(const std::string& path) {
  return fileExistsAt(path);
}

std::string PlatformHost::readIni(const std::string& path, const std::string& section,
                                  const std::string& key) {
  return readIniValue(path, section, key);
}

bool PlatformHost::writeIni(const std::string& path, const std::string& section,
                            const std::string& key, const std::string& value) {
  return writeIniValue(path, section, key, value);
}

} // namespace tunova
