#include "runtime/ini_file.h"

// Values are GBK bytes and stay exactly as they are: no conversion.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "text/codepage.h"
#include "text/text.h"

namespace tunova {

std::string nativePath(const std::string& gbkPath) {
  return toUtf8(gbkPath);
}

std::string programFolderOfProcess() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<std::size_t>(n) == path.size()) return ".";
  path.resize(static_cast<std::size_t>(n));
  const std::size_t slash = path.rfind('/');
  return fromUtf8(slash == 0 ? "/" : path.substr(0, slash));
}

bool fileExistsAt(const std::string& gbkPath) {
  struct stat st;
  return ::stat(nativePath(gbkPath).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string readIniValue(const std::string& gbkPath, const std::string& section,
                         const std::string& key) {
  CSimpleIniA ini(false, false, false);
  if (ini.LoadFile(nativePath(gbkPath).c_str()) < 0) return std::string();
  const char* value = ini.GetValue(section.c_str(), key.c_str(), "");
  return value ? value : "";
}

bool writeIniValue(const std::string& gbkPath, const std::string& section, const std::string& key,
                   const std::string& value) {
  const std::string path = nativePath(gbkPath);
  CSimpleIniA ini(false, false, false);
  ini.SetSpaces(false);
  if (fileExistsAt(gbkPath) && ini.LoadFile(path.c_str()) < 0) return false;
  if (ini.SetValue(section.c_str(), key.c_str(), value.c_str()) < 0) return false;
  std::string text;
  if (ini.Save(text) < 0) return false;
  text = replaceAll(text, "\n", "\r\n");

  const std::string temporary = path + ".tmp";
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  if (!f) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

} // namespace tunova
