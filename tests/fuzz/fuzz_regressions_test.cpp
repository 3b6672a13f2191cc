// Every kept fuzz input, replayed through its target in the ordinary test build: the seed
// corpus and each input that once failed (fuzz/regressions/TARGET/), so a fixed finding stays
// fixed without running the fuzzer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/targets.h"

namespace {

struct Target {
  const char* name;
  int (*run)(const std::uint8_t*, std::size_t);
};

const Target kTargets[] = {
    {"text", tunova::fuzz::text},
    {"url", tunova::fuzz::url},
    {"headers", tunova::fuzz::headers},
    {"json", tunova::fuzz::json},
    {"catalogueRequest", tunova::fuzz::catalogueRequest},
    {"httpResponse", tunova::fuzz::httpResponse},
};

class FuzzRegressions : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzRegressions, KeptInputsReplay) {
  const Target& target = GetParam();
  int replayed = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const std::filesystem::path folder =
        std::filesystem::path(TUNOVA_FUZZ_DIR) / kind / target.name;
    if (!std::filesystem::is_directory(folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (!entry.is_regular_file()) continue;
      SCOPED_TRACE(entry.path().string());
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes((std::istreambuf_iterator<char>(in)), {});
      target.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0) << "no kept inputs for " << target.name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegressions, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& target) {
                           return std::string(target.param.name);
                         });

} // namespace
