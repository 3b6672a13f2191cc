#include "bootstrap/loader.h"

#include <windows.h>

#include "host/program_image.h"
#include "runtime/process.h"

// The loader stub's Windows pieces: LoadLibraryA, GetProcAddress, the install folder the
// registry names, a message box, and ExitProcess.

namespace tunova {

namespace {

constexpr const char* kInstallKey = "Software\\Lorvane\\Install";

} // namespace

std::string programFolder() {
  // GetModuleFileNameA, grown until the whole path fits (no 128-character limit).
  return programFolderOfProcess() + "\\";
}

bool installFolder(std::string& folder) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kInstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  char path[260] = {};
  DWORD size = 259;
  const LONG read =
      RegQueryValueExA(key, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
  RegCloseKey(key);
  if (read != ERROR_SUCCESS) return false;
  folder.assign(path, strnlen(path, size));
  return true;
}

void showLoaderError() {
  MessageBoxA(nullptr, kLoaderError, "Error", MB_ICONERROR);
}

void* loadLibrary(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
}

void* findSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void unloadLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

char folderSeparator() {
  return '\\';
}

int endProgram(int code) {
  ExitProcess(static_cast<UINT>(code));
}

} // namespace tunova
