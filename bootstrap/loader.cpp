// The loader's rule, the same on every platform: the runtime beside the program, else the one
// in the install folder; its start entry asked for with the code 1000 and handed the image;
// every failure one message and the exit code -1.
#include "bootstrap/loader.h"

namespace tunova {

namespace {

#ifdef _WIN32
using StartFunction = int(__stdcall*)(const ProgramImage*);
using GetStartEntryFunction = StartFunction(__stdcall*)(int);
#else
using StartFunction = int (*)(const ProgramImage*);
using GetStartEntryFunction = StartFunction (*)(int);
#endif

void* loadRuntime() {
  if (void* beside = loadLibrary(programFolder() + kRuntimeFile)) return beside;
  std::string folder;
  if (!installFolder(folder)) return nullptr;
  if (folder.empty() || folder.back() != folderSeparator()) folder += folderSeparator();
  return loadLibrary(folder + kInstalledRuntimeFile);
}

} // namespace

int runLoader(const ProgramImage* image) {
  void* runtime = loadRuntime();
  if (!runtime) {
    showLoaderError();
    return -1;
  }
  auto getStart = reinterpret_cast<GetStartEntryFunction>(findSymbol(runtime, kStartExport));
  StartFunction start = getStart ? getStart(1000) : nullptr;
  if (!start) {
    unloadLibrary(runtime);
    showLoaderError();
    return -1;
  }
  // A runtime that ran the program returns 0; one that could not (no display) says why itself
  // and returns its failure, which the process reports rather than hiding it behind success.
  return endProgram(start(image) == 0 ? 0 : -1);
}

} // namespace tunova
