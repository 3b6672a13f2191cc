#include "bootstrap/loader.h"

#include "runtime/process.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tunova {

namespace {

std::string trimLine(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' '))
    s.pop_back();
  return s;
}

// The message box comes from GTK loaded only now, so the stub links no GUI library and still
// starts where none is installed.
void showMessageBox() {
  if (!displayAvailable()) return;
  void* gtk = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
  if (!gtk) return;
  using InitCheck = int (*)(int*, char***);
  using DialogNew = void* (*)(void*, int, int, int, const char*, ...);
  using SetTitle = void (*)(void*, const char*);
  using Run = int (*)(void*);
  using Destroy = void (*)(void*);
  auto initCheck = reinterpret_cast<InitCheck>(dlsym(gtk, "gtk_init_check"));
  auto dialogNew = reinterpret_cast<DialogNew>(dlsym(gtk, "gtk_message_dialog_new"));
  auto setTitle = reinterpret_cast<SetTitle>(dlsym(gtk, "gtk_window_set_title"));
  auto run = reinterpret_cast<Run>(dlsym(gtk, "gtk_dialog_run"));
  auto destroy = reinterpret_cast<Destroy>(dlsym(gtk, "gtk_widget_destroy"));
  if (initCheck && dialogNew && setTitle && run && destroy && initCheck(nullptr, nullptr)) {
    // GTK_MESSAGE_ERROR = 3, GTK_BUTTONS_OK = 1
    void* dialog = dialogNew(nullptr, 0, 3, 1, "%s", kLoaderError);
    if (dialog) {
      setTitle(dialog, "Error");
      run(dialog);
      destroy(dialog);
    }
  }
  // GTK stays loaded: unloading it while its threads may run is unsafe, and we exit next.
}

} // namespace

std::string programFolder() {
  const std::string folder = programFolderOfProcess();
  return folder == "/" ? folder : folder + "/";
}

bool installFolder(std::string& folder) {
  std::string config;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) {
    config = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return false;
    config = std::string(home) + "/.config";
  }
  std::ifstream in(config + "/Lorvane/Install");
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    line = trimLine(line);
    if (line.rfind("Path=", 0) == 0) {
      folder = line.substr(5);
      return true;
    }
  }
  return false;
}

void showLoaderError() {
  std::fprintf(stderr, "Error: %s\n", kLoaderError);
  showMessageBox();
}

void* loadLibrary(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(void* library, const char* name) {
  return dlsym(library, name);
}

void unloadLibrary(void* library) {
  dlclose(library);
}

char folderSeparator() {
  return '/';
}

int endProgram(int code) {
  return code;
}

} // namespace tunova
