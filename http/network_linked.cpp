// The network layer linked into this binary (tests, tunova-cli, and the module itself).
#include "http/network.h"

namespace tunova {

std::unique_ptr<Exchange> openExchange(const ExchangeSetup& setup) {
  return openCurlExchange(setup);
}

void forgetStoredCookies() {
  forgetCurlCookies();
}

std::unique_ptr<Transport> openTransport() {
  return openCurlTransport();
}

// libcurl's exchanges run on the caller's thread: none outlives its call.
void endAbandonedExchanges() {}

} // namespace tunova
