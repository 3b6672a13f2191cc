#pragma once
// The part of Host that is the same for every window runtime on a platform: the program's
// folder, the user's settings folder and the settings file, through the platform's own routines
// (runtime/process, runtime/ini_file).
#include <string>

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
};

} // namespace tunova
