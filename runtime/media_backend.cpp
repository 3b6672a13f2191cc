#include "runtime/media_backend.h"

#include <dlfcn.h>

#include <cstdio>
#include <string>

namespace tunova {

namespace {

// The folder of the file this code was loaded from (the runtime library, or a test program).
std::string folderOfThisCode() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&loadedMediaBackend), &info) || !info.dli_fname) return ".";
  const std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

const MediaBackend* load() {
  const std::string path = folderOfThisCode() + "/" + kMediaModuleFile;
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::fprintf(stderr, "tunova: no player or sound: %s\n", dlerror());
    return nullptr;
  }
  using Export = const MediaBackend* (*)();
  auto backend = reinterpret_cast<Export>(dlsym(module, kMediaBackendExport));
  return backend ? backend() : nullptr; // the module stays loaded for the life of the process
}

} // namespace

const MediaBackend* loadedMediaBackend() {
  static const MediaBackend* backend = load();
  return backend;
}

} // namespace tunova
