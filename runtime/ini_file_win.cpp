#include "runtime/ini_file.h"

#include <windows.h>

#include <cstdlib>

// Settings files on Windows go through the platform's own INI routines, so bc.ini is exactly
// what every other Windows program reads and writes. Paths are ANSI (the code page the program
// runs in, GBK on a Chinese system).

namespace tunova {

namespace {

bool isFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates `folder` and the folders above it that are missing.
bool makeFolders(const std::string& folder) {
  if (folder.empty() || isFolder(folder)) return true;
  const std::size_t sep = folder.find_last_of("\\/");
  if (sep != std::string::npos && sep > 0 && folder[sep - 1] != ':' &&
      !makeFolders(folder.substr(0, sep))) {
    return false;
  }
  return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

} // namespace

std::string nativePath(const std::string& gbkPath) {
  return gbkPath;
}

std::string userSettingsFolderOfProcess() {
  const char* appData = std::getenv("APPDATA");
  if (!appData || !*appData) return {};
  return std::string(appData) + "\\Tunova";
}

bool folderWritable(const std::string& folder) {
  if (!isFolder(folder)) return false;
  // Access rights are not a mode bit here: creating a file is the only sure test.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::string probe = folder + "\\.tunova-write-test-" +
                              std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

bool fileExistsAt(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

long long fileSizeAt(const std::string& path) {
  // Asked of an open handle, not the folder entry: the entry's size of a file being written lags
  // behind. No access is asked for, so a writer's sharing rules do not stand in the way.
  if (!fileExistsAt(path)) return -1; // a folder or nothing
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  LARGE_INTEGER size{};
  const bool known = GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size);
  CloseHandle(h);
  return known ? static_cast<long long>(size.QuadPart) : -1;
}

bool readSmallFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bytes.assign(maxBytes, '\0');
  DWORD got = 0;
  const bool ok = ReadFile(h, bytes.data(), static_cast<DWORD>(maxBytes), &got, nullptr);
  CloseHandle(h);
  bytes.resize(ok ? got : 0);
  return ok;
}

std::string readIniValue(const std::string& path, const std::string& section,
                         const std::string& key) {
  if (!fileExistsAt(path)) return std::string();
  // The routine cuts a value to the buffer and then answers size - 1: grow until it fits.
  std::string buffer(1024, '\0');
  for (;;) {
    const DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer.data(),
                                             static_cast<DWORD>(buffer.size()), path.c_str());
    if (n + 1 < buffer.size() || buffer.size() >= (1u << 20)) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 4);
  }
}

bool writeIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value) {
  const std::size_t sep = path.find_last_of("\\/");
  if (sep != std::string::npos && !makeFolders(path.substr(0, sep))) return false;
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), path.c_str()) !=
         FALSE;
}

} // namespace tunova
