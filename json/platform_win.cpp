#include <windows.h>
// (after windows.h, which it needs)
#include <objbase.h>

#include "json/platform.h"

namespace tunova {

std::uintptr_t lowestStackAddressOfThread() {
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  return static_cast<std::uintptr_t>(low);
}

ComScope::ComScope() {
  CoInitialize(nullptr);
}

ComScope::ComScope(const ComScope&) {
  CoInitialize(nullptr);
}

ComScope::~ComScope() {
  CoUninitialize();
}

} // namespace tunova
