#include <cstdio>
#include <cstdlib>

#include "fuzz/targets.h"

namespace tunova::fuzz {

void checkFailed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

} // namespace tunova::fuzz
