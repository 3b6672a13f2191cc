#pragma once
// What the script engine needs from the platform.
#include <cstdint>

namespace tunova {

// The lowest address of the calling thread's stack, or 0 when the platform does not say.
std::uintptr_t lowestStackAddressOfThread();

// COM for the lifetime of a JsonObject (each copy included): CoInitialize when it begins,
// CoUninitialize when it ends, on Windows; nothing elsewhere.
class ComScope {
public:
  ComScope();
  ComScope(const ComScope&);
  ComScope& operator=(const ComScope&) { return *this; }
  ~ComScope();
};

} // namespace tunova
