#include <string>

#include "fuzz/targets.h"
#include "http/url.h"
#include "text/codepage.h"

namespace tunova::fuzz {

int url(const std::uint8_t* data, std::size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  // urlEncode leaves only unreserved characters and %XX.
  const std::string encoded = urlEncode(in);
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(encoded[i]);
    FUZZ_CHECK(c > 0x20 && c < 0x7F);
  }
  const std::string host = splitUrl(in);
  const std::string hostAndPort = splitUrl(in, true);
  FUZZ_CHECK(host.size() <= in.size() && hostAndPort.size() <= in.size());
  (void)urlPort(in);
  (void)urlPath(in);
  return 0;
}

} // namespace tunova::fuzz
