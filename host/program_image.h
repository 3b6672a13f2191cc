#pragma once
// The contract between the loader stub, the host runtime and the program image.
#include <cstdint>

#include "host/host.h"

namespace tunova {

// What the loader stub hands the runtime: a tagged block with the program's entry routine.
struct ProgramImage {
  std::uint32_t magic;   // kProgramImageMagic
  std::uint32_t version; // kProgramImageVersion
  int (*entry)(Host& host);
};
inline constexpr std::uint32_t kProgramImageMagic = 0x564F4E54; // "TNOV"
inline constexpr std::uint32_t kProgramImageVersion = 1;

} // namespace tunova
