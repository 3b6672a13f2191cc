// A stand-in runtime for the loader tests: its start function writes which library ran (this
// file is built twice, under two names) into the file named by TUNOVA_TEST_MARKER.
#include <cstdio>
#include <cstdlib>

namespace {

[[maybe_unused]] int start(const void* image) {
  if (const char* marker = std::getenv("TUNOVA_TEST_MARKER")) {
    if (std::FILE* f = std::fopen(marker, "w")) {
      std::fprintf(f, "%s %s", FAKE_RUNTIME_NAME, image ? "image" : "none");
      std::fclose(f);
    }
  }
  return 0;
}

} // namespace

#ifdef _WIN32
#define FAKE_RUNTIME_EXPORT __declspec(dllexport)
#else
#define FAKE_RUNTIME_EXPORT __attribute__((visibility("default")))
#endif

#ifndef FAKE_RUNTIME_WITHOUT_EXPORT
extern "C" FAKE_RUNTIME_EXPORT void* GetStartEntry(int code) {
  return code == 1000 ? reinterpret_cast<void*>(&start) : nullptr;
}
#endif
