#pragma once
// Settings-file access for the hosts: INI files in GBK, read and written byte for byte (no
// re-encoding), with CRLF line ends so a file stays interchangeable with one written on Windows.
// Paths are GBK and become UTF-8 just before the file call.
#include <string>

namespace tunova {

// The value, or empty when the file, section or key is absent.
std::string readIniValue(const std::string& gbkPath, const std::string& section,
                         const std::string& key);

// Sets one value, keeping everything else in the file; creates file and section as needed. The
// file is replaced atomically (written beside it, then renamed). False when nothing was stored.
bool writeIniValue(const std::string& gbkPath, const std::string& section, const std::string& key,
                   const std::string& value);

bool fileExistsAt(const std::string& gbkPath);

// The folder of the running program (GBK, no trailing separator).
std::string programFolderOfProcess();

// The UTF-8 form of a GBK path, for file calls.
std::string nativePath(const std::string& gbkPath);

} // namespace tunova
