// The runtime library's one export: GetStartEntry(1000) hands the loader stub the function that
// runs a program image on the wx host.
#include "host/program_image.h"
#include "runtime/window_host.h"

#include <cstdio>

namespace {

int startProgram(const tunova::ProgramImage* image) {
  if (!image || image->magic != tunova::kProgramImageMagic ||
      image->version != tunova::kProgramImageVersion || !image->entry) {
    return -1;
  }
  if (!tunova::startToolkit(0, nullptr)) {
    std::fprintf(stderr, "tunova: no display to open the window on\n");
    return -1;
  }
  int code = 0;
  {
    tunova::WxHost host;
    code = image->entry(host);
  }
  tunova::stopToolkit();
  return code;
}

} // namespace

using StartFunction = int (*)(const tunova::ProgramImage*);

extern "C" __attribute__((visibility("default"))) StartFunction GetStartEntry(int code) {
  return code == 1000 ? &startProgram : nullptr;
}
