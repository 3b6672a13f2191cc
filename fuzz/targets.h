#pragma once
// The fuzz targets. Each takes one input and exercises a routine that reads untrusted bytes;
// a crash, a sanitizer report or a failed check (abort) is a finding. The libFuzzer programs
// (preset fuzz) and the FuzzRegressions tests (which replay the kept corpus) call the same
// functions.
#include <cstddef>
#include <cstdint>

namespace tunova::fuzz {

// The text helpers and the code-page conversions (GBK, UTF-8, UTF-16).
int text(const std::uint8_t* data, std::size_t size);
// urlEncode, splitUrl, urlPort, urlPath.
int url(const std::uint8_t* data, std::size_t size);
// The header and cookie routines.
int headers(const std::uint8_t* data, std::size_t size);
// JsonObject: load, then reads and edits.
int json(const std::uint8_t* data, std::size_t size);
// tunova-catalogue: a request head as a client sends it, parsed and answered.
int catalogueRequest(const std::uint8_t* data, std::size_t size);
// httpRequest against a server whose whole answer (status line, headers, body) is the input.
int httpResponse(const std::uint8_t* data, std::size_t size);

} // namespace tunova::fuzz

// Fails the run when `condition` does not hold (in every build type).
#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) ::tunova::fuzz::checkFailed(#condition, __FILE__, __LINE__);                 \
  } while (0)

namespace tunova::fuzz {
[[noreturn]] void checkFailed(const char* what, const char* file, int line);
}
