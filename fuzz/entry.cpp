// One libFuzzer program: TUNOVA_FUZZ_TARGET names the target function it runs.
#include "fuzz/targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tunova::fuzz::TUNOVA_FUZZ_TARGET(data, size);
}
