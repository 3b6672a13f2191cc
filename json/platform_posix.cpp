#include <pthread.h>

#include "json/platform.h"

namespace tunova {

std::uintptr_t lowestStackAddressOfThread() {
  std::uintptr_t low = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0)
      low = reinterpret_cast<std::uintptr_t>(addr);
    pthread_attr_destroy(&attr);
  }
  return low;
}

ComScope::ComScope() = default;
ComScope::ComScope(const ComScope&) = default;
ComScope::~ComScope() = default;

} // namespace tunova
