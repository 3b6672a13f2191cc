#include "bootstrap/loader.h"

#include <windows.h>

#include "host/program_image.h"
#include "runtime/process.h"

// The loader stub on Windows: the runtime beside the program, else the one in the install
// folder the registry names, its start function given the program image, and ExitProcess.

namespace tunova {

namespace {

using StartFunction = int(__stdcall*)(const ProgramImage*);
using GetStartEntryFunction = StartFunction(__stdcall*)(int);

constexpr const char* kInstallKey = "Software\\Lorvane\\Install";

HMODULE loadRuntime(const std::string& path) {
  return LoadLibraryA(path.c_str());
}

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

int runLoader(const ProgramImage* image) {
  HMODULE runtime = loadRuntime(programFolder() + kRuntimeFile);
  if (!runtime) {
    std::string folder;
    if (!installFolder(folder)) {
      showLoaderError();
      return -1;
    }
    if (folder.empty() || folder.back() != '\\') folder += '\\';
    runtime = loadRuntime(folder + kInstalledRuntimeFile);
    if (!runtime) {
      showLoaderError();
      return -1;
    }
  }
  auto getStart = reinterpret_cast<GetStartEntryFunction>(
      reinterpret_cast<void*>(GetProcAddress(runtime, kStartExport)));
  StartFunction start = getStart ? getStart(1000) : nullptr;
  if (!start) {
    FreeLibrary(runtime);
    showLoaderError();
    return -1;
  }
  start(image);
  ExitProcess(0);
}

} // namespace tunova
