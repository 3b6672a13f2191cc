// The runtime library's one export: GetStartEntry(1000) hands the loader stub the function that
// runs a program image on the Windows host.
#include "host/program_image.h"
#include "runtime/window_host.h"

namespace {

int __stdcall startProgram(const tunova::ProgramImage* image) {
  if (!image || image->magic != tunova::kProgramImageMagic ||
      image->version != tunova::kProgramImageVersion || !image->entry) {
    return -1;
  }
  if (!tunova::startWin32Host()) return -1;
  tunova::Win32Host host;
  return image->entry(host);
}

} // namespace

using StartFunction = int(__stdcall*)(const tunova::ProgramImage*);

extern "C" __declspec(dllexport) StartFunction __stdcall GetStartEntry(int code) {
  return code == 1000 ? &startProgram : nullptr;
}
